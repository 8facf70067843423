// Making a process that holds secrets non-dumpable.
#include "cli/session/secret_guard.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "cli/options/device_list.h"

namespace kor {
namespace cli {

bool HoldsSecrets(const std::vector<std::string> &devices, bool encrypted,
                  const std::function<bool(const char *)> &lookup) {
  if (encrypted || lookup("AWS_SECRET_ACCESS_KEY") || lookup("AWS_SESSION_TOKEN")) {
    return true;
  }
  for (const std::string &device : devices) {
    // The store's scheme is matched without regard to case, as the library
    // matches it.
    if (strncasecmp(DevnameOf(device).c_str(), "s3://", 5) == 0) return true;
  }
  return false;
}

bool GuardSecrets(const std::vector<std::string> &devices, bool encrypted,
                  const std::function<bool(const char *)> &lookup,
                  std::string *error) {
  if (!HoldsSecrets(devices, encrypted, lookup)) return true;
  if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    *error = std::string("cannot keep ") +
             (encrypted ? "the backup's keys" : "the object store's key") +
             " out of core dumps: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool IsSetInEnvironment(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace cli
}  // namespace kor
