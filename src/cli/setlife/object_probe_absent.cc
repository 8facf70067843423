// Asking a store whether an object exists: a build without object storage
// cannot, and the library refuses s3:// names anyway.
#include "cli/setlife/object_probe.h"

namespace kor {
namespace cli {

int ObjectExists(const std::string &url, std::string *error) {
  *error = "cannot reach " + url + ": korbr was built without object storage";
  return -1;
}

}  // namespace cli
}  // namespace kor
