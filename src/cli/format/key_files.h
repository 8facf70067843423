// The key files an encrypted backup is made and read with: X25519 keys in
// PEM as libcrypto's tools write them, and passphrase files.
//
//   openssl genpkey -algorithm X25519 -out key.pem
//   openssl pkey -in key.pem -pubout -out pub.pem
//
// A file holding a secret (a private key, a passphrase) is refused, naming
// it, when its group or others have any access to it, as ssh refuses such a
// key: anyone else who can read it can read every backup made for it.  A
// path may name a symbolic link (users keep keys behind them), but what it
// opens must be a regular file.  Secrets are read only into SecretBuffer and
// SecretBytes, and no error text carries a byte of one.
#ifndef KORBR_CLI_KEY_FILES_H_
#define KORBR_CLI_KEY_FILES_H_

#include <string>

#include "cli/format/key_area.h"
#include "cli/format/secret_bytes.h"

namespace kor {
namespace cli {

// A recipient's public key ("PUBLIC KEY" PEM of an X25519 key).
bool ReadPublicKeyFile(const std::string &path, X25519PublicKey *key,
                       std::string *error);

// An unencrypted X25519 private key ("PRIVATE KEY" PEM) and its public key.
bool ReadPrivateKeyFile(const std::string &path, PrivateKey *key,
                        std::string *error);

// The first line of the file, without its line end.  An empty passphrase
// is refused.
bool ReadPassphraseFile(const std::string &path, SecretBuffer *passphrase,
                        std::string *error);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_KEY_FILES_H_
