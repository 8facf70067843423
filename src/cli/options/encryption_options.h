// The options that encrypt a backup and open one: which files hold the
// keys.  The files themselves are read later, once the process is guarded
// against core dumps (format/key_files.h).
#ifndef KORBR_CLI_ENCRYPTION_OPTIONS_H_
#define KORBR_CLI_ENCRYPTION_OPTIONS_H_

#include <string>
#include <vector>

#include "cli/options/arg_parser.h"

namespace kor {
namespace cli {

// backup: --encrypt-to FILE (repeatable), --passphrase-file FILE.
extern const OptionSpec kEncryptToOption;
// restore and verify: --key FILE, --passphrase-file FILE.
extern const OptionSpec kKeyOption;
extern const OptionSpec kBackupPassphraseOption;
extern const OptionSpec kRestorePassphraseOption;

// The most recipients one backup is encrypted to.
constexpr size_t kMaxRecipientFiles = 16;

struct EncryptionFiles {
  std::vector<std::string> recipients;  // --encrypt-to, in order
  std::string key;                      // --key
  std::string passphrase;               // --passphrase-file
  bool any() const {
    return !recipients.empty() || !key.empty() || !passphrase.empty();
  }
};

// Reads the options of a backup (`backup`) or of a restore or verify.
// False with a usage error when they contradict each other: a passphrase
// together with keys, or more than kMaxRecipientFiles recipients.
bool ParseEncryptionOptions(const ParsedArgs &args, bool backup,
                            EncryptionFiles *files, std::string *error);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_ENCRYPTION_OPTIONS_H_
