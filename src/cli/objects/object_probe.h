// What korbr asks an object store itself, through the library's S3 client
// (the same settings, signing and retries as the volumes): whether a
// prefix holds a backup, which volume objects lie under a prefix, the
// few bytes of each that name its backup, the removal of volume objects
// a failed or replaced backup leaves (objects cannot be renamed, so a
// backup there writes in place and korbr cleans up after it), and why the
// store refused a volume when the library could only tell its status.
//
// Every call takes object URLs s3://BUCKET/KEY.  Errors come back as
// *error, naming the URL and the store's own code and message; a build
// without object storage fails every call.  Only ObjectExists gives up
// once korbr is interrupted (when its `interrupted` says so): the others
// are how a backup ended by a signal cleans up after itself, so they run
// their course.
#ifndef KORBR_CLI_OBJECTS_OBJECT_PROBE_H_
#define KORBR_CLI_OBJECTS_OBJECT_PROBE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace cli {

// 1 when the object `url` (s3://BUCKET/KEY) exists, 0 when it does not,
// -1 with *error set when the store cannot tell (no such bucket, access
// refused, no key in the environment, a build without object storage).
// `interrupted` (korbr's signal flag) is asked while the store is waited
// for; true gives up.
int ObjectExists(const std::string &url, bool (*interrupted)(),
                 std::string *error);

struct ListedObject {
  std::string url;  // s3://BUCKET/KEY
  uint64_t size = 0;
};

// Every object whose URL begins with `url_prefix` (s3://BUCKET/START, START
// possibly empty), in the store's order, all pages of the list.  False
// with *error when the store refused or the reply made no sense.
bool ListObjects(const std::string &url_prefix,
                 std::vector<ListedObject> *objects, std::string *error);

// Reads `length` bytes at `offset` of the object `url` into `buffer`.
bool ReadObjectRange(const std::string &url, uint64_t offset, uint8_t *buffer,
                     size_t length, std::string *error);

// Removes the object `url`; one already gone counts as removed.
bool DeleteObject(const std::string &url, std::string *error);

// A HEAD request's reply carries no error document, so a volume the store
// refuses to open for reading fails with its HTTP status alone ("object
// store: (HTTP 403)"), where a backup, refused on a request with a body,
// names the store's error code and message.  This asks the store again
// with one GET of the object's first byte, whose refusal carries them:
// "CODE: MESSAGE" (or "CODE"), or "" when the store does not refuse it,
// gives no error document, or cannot be asked (no key in the environment,
// a build without object storage).  Asked only to explain a failure.
std::string AskStoreWhy(const std::string &url);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_OBJECTS_OBJECT_PROBE_H_
