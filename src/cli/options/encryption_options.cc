// Which key files an encrypted backup or restore uses.
#include "cli/options/encryption_options.h"

namespace kor {
namespace cli {

const OptionSpec kEncryptToOption = {
    "encrypt-to",
    0,
    true,
    true,
    "FILE",
    "encrypt to the X25519 public key in FILE (PEM; 'openssl pkey -pubout' "
    "makes it); repeat for up to 16 keys, any one of which restores"};
const OptionSpec kKeyOption = {
    "key",
    0,
    true,
    false,
    "FILE",
    "open an encrypted backup with the X25519 private key in FILE (PEM, "
    "readable by its owner only)"};
const OptionSpec kBackupPassphraseOption = {
    "passphrase-file",
    0,
    true,
    false,
    "FILE",
    "encrypt with the passphrase on the first line of FILE (readable by its "
    "owner only) instead of keys"};
const OptionSpec kRestorePassphraseOption = {
    "passphrase-file",
    0,
    true,
    false,
    "FILE",
    "open a backup encrypted with a passphrase: the first line of FILE "
    "(readable by its owner only)"};

bool ParseEncryptionOptions(const ParsedArgs &args, bool backup,
                            EncryptionFiles *files, std::string *error) {
  files->recipients =
      backup ? args.Values("encrypt-to") : std::vector<std::string>();
  files->key = backup ? std::string() : args.Value("key");
  files->passphrase = args.Value("passphrase-file");
  const bool keys = !files->recipients.empty() || !files->key.empty();
  if (keys && !files->passphrase.empty()) {
    *error = std::string(backup ? "--encrypt-to" : "--key") +
             " and --passphrase-file exclude each other";
    return false;
  }
  if (files->recipients.size() > kMaxRecipientFiles) {
    *error = "--encrypt-to may be given at most 16 times";
    return false;
  }
  if ((args.Has("passphrase-file") && files->passphrase.empty()) ||
      (args.Has("key") && files->key.empty())) {
    *error = "a key or passphrase FILE must not be empty";
    return false;
  }
  return true;
}

}  // namespace cli
}  // namespace kor
