// Keeping korbr's secrets out of core dumps.
//
// The object store's secret key (and its session token) arrive in the
// environment and are copied into every S3 stripe's requests, so a core
// file of a korbr that crashed or got SIGQUIT holds them several times over.
// An encrypted backup or restore holds its data key, and a restore the
// private key or passphrase that opens it.  A process that holds a secret
// is therefore made non-dumpable: it leaves no core file, and processes of
// the same user cannot read its memory, environment or descriptors through
// /proc or ptrace.
#ifndef KORBR_CLI_SECRET_GUARD_H_
#define KORBR_CLI_SECRET_GUARD_H_

#include <functional>
#include <string>
#include <vector>

namespace kor {
namespace cli {

// Whether korbr holds, or will hold, a secret: the run encrypts or
// decrypts (`encrypted`), AWS_SECRET_ACCESS_KEY or AWS_SESSION_TOKEN is set
// (`lookup` tells whether a variable is set and not empty), or a stripe's
// device names an object in a store (s3://).
bool HoldsSecrets(const std::vector<std::string> &devices, bool encrypted,
                  const std::function<bool(const char *)> &lookup);

// Makes the process non-dumpable when HoldsSecrets says so, before any key
// is read into a stripe or from a key file.  It stays so for the rest of
// the process.  False with *error set when the system refuses.
bool GuardSecrets(const std::vector<std::string> &devices, bool encrypted,
                  const std::function<bool(const char *)> &lookup,
                  std::string *error);

// The lookup of the process's own environment.
bool IsSetInEnvironment(const char *name);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SECRET_GUARD_H_
