// Removing a backup's volume objects from object storage, where korbr
// cannot write a set aside and rename it into place: what a failed backup
// completed, and what a replaced set leaves past the new set's end.
//
// Contract: called under the exclusive set lock of the prefixes, after
// the run (object_probe.h reaches the store).
#ifndef KORBR_CLI_SETLIFE_OBJECT_CLEANUP_H_
#define KORBR_CLI_SETLIFE_OBJECT_CLEANUP_H_

#include <cstddef>
#include <string>
#include <vector>

namespace kor {
namespace cli {

// Removes every volume object PREFIX.N of the object prefixes `prefixes`
// (s3://BUCKET/KEY each).  How many went; *error the first failure.
size_t RemoveVolumeObjects(const std::vector<std::string> &prefixes,
                           std::string *error);

// Removes, on each of `prefixes`, the volume objects that follow the
// volume a whole backup closed as its stripe's last (an older, longer
// set's).  A stripe whose volumes do not chain up to a trailer is left as
// it is, with *error saying so.  How many went; *error the first failure.
size_t RemoveObjectsPastLastVolume(const std::vector<std::string> &prefixes,
                                   std::string *error);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SETLIFE_OBJECT_CLEANUP_H_
