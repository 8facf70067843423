// The restore pipeline: one reader thread per stripe through the library,
// every frame checked in stream order, then (for a compressed backup)
// inflated, hashed and written, each stage in its own thread.
#ifndef KORBR_CLI_RESTORE_RUN_H_
#define KORBR_CLI_RESTORE_RUN_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cli/format/stream_crypto.h"
#include "cli/pipeline/restore_output.h"
#include "cli/session/host_session.h"

namespace kor {
namespace cli {

// Restores (or, for an `output` marked verify_only, checks) the backup on
// `session`'s devices into `output`, and tells the operator how it went.
// `stripes_given` 0 means the count is learnt from stripe 0's header, the
// other devices then expanded from `device_templates`.  True only when the
// whole stream was verified and committed; otherwise `output` is discarded.
// An encrypted backup opens with `keys`; without them it can only be
// verified, as stored.
bool RunRestore(HostSession *session, Output *output, uint32_t stripes_given,
                const std::vector<std::string> &device_templates,
                const DecryptionKeys &keys);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_RESTORE_RUN_H_
