// The backup pipeline: the input read into frames (or into chunks for the
// compressor), hashed in order, and written by one thread per stripe
// through the library, each stripe closed by its trailer.
#ifndef KORBR_CLI_BACKUP_RUN_H_
#define KORBR_CLI_BACKUP_RUN_H_

#include <cstdint>
#include <string>

#include "cli/format/stream_crypto.h"
#include "cli/format/stream_format.h"
#include "cli/session/host_session.h"

namespace kor {
namespace cli {

// What a backup is asked to do.
struct BackupPlan {
  int input_fd = 0;             // read to its end, not closed
  uint32_t stripes = 1;         // one device string each in the session
  uint32_t request_size = 65536;
  std::string dbname;           // recorded in every stripe's header
  int zstd_level = 0;           // 0: no compression
  uint32_t format_version = kStreamFormatVersion;  // 2 or 3
  // Version 3: the keys to encrypt to, or null for a plain backup.
  const EncryptionKeys *encryption = nullptr;
};

// Runs the backup `plan` describes on `session`'s devices and tells the
// operator how it went.  True only when every stripe got its trailer, that
// is, when the backup can be restored.
bool RunBackup(HostSession *session, const BackupPlan &plan);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_BACKUP_RUN_H_
