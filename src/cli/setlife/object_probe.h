// Whether an object storage prefix holds a backup already: the one thing
// korbr asks a store itself, through the library's S3 client (the same
// settings, signing and retries as the volumes), since objects cannot be
// renamed and a backup that replaces a set there writes over it in place.
#ifndef KORBR_CLI_SETLIFE_OBJECT_PROBE_H_
#define KORBR_CLI_SETLIFE_OBJECT_PROBE_H_

#include <string>

namespace kor {
namespace cli {

// 1 when the object `url` (s3://BUCKET/KEY) exists, 0 when it does not,
// -1 with *error set when the store cannot tell (no such bucket, access
// refused, no key in the environment, a build without object storage).
int ObjectExists(const std::string &url, std::string *error);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SETLIFE_OBJECT_PROBE_H_
