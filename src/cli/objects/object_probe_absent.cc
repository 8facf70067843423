// Asking a store about objects: a build without object storage cannot, and
// the library refuses s3:// names anyway.
#include "cli/objects/object_probe.h"

namespace kor {
namespace cli {
namespace {

std::string Unreachable(const std::string &url) {
  return "cannot reach " + url + ": korbr was built without object storage";
}

}  // namespace

int ObjectExists(const std::string &url, bool (*)(), std::string *error) {
  *error = Unreachable(url);
  return -1;
}

bool ListObjects(const std::string &url_prefix, std::vector<ListedObject> *,
                 std::string *error) {
  *error = Unreachable(url_prefix);
  return false;
}

bool ReadObjectRange(const std::string &url, uint64_t, uint8_t *, size_t,
                     std::string *error) {
  *error = Unreachable(url);
  return false;
}

bool DeleteObject(const std::string &url, std::string *error) {
  *error = Unreachable(url);
  return false;
}

std::string AskStoreWhy(const std::string &) { return ""; }

}  // namespace cli
}  // namespace kor
