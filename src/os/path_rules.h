// Device-name rules as pure functions of (name, current directory, style),
// so both the Windows and the POSIX spelling are tested on every platform.
//
// Windows rules (kept exactly):
//   - "\\\\.\\NAME" (doubled backslashes) is reduced to "\\.\NAME";
//   - a name beginning with a backslash, or whose second character is ':',
//     is left as it is;
//   - any other name is relative: current directory + "\" + name.
// POSIX adds one rule: a name beginning with '/' is absolute and left as it
// is; a relative name is joined to the current directory with '/'.
// Both styles: an object-storage URL ("s3://BUCKET/KEY") is absolute.
#ifndef KORBR_OS_PATH_RULES_H_
#define KORBR_OS_PATH_RULES_H_

#include <cstdint>
#include <string>

#include "os/os_layer.h"
#include "rules/tape_name_rules.h"  // IsTapeName, the tape prefixes

namespace kor {

// True when `name` is relative under `style`, so that NormalizeName needs
// the current directory.
bool NeedsCurrentDirectory(const std::string &name, PathStyle style);

// The normalised form of `name`; `cwd` is used only for relative names.
std::string NormalizeName(const std::string &name, const std::string &cwd,
                          PathStyle style);

// True when `name` is an object-storage URL: it begins with "s3://" (the
// scheme in any letter case).  Such a name is never joined with the
// current directory; only a build with object storage can open it.
bool IsObjectStoreName(const std::string &name);

// The file of volume `volume` of a disk prefix: "%s.%d".
std::string VolumeFileName(const std::string &prefix, int32_t volume);

// The directory whose free space a disk prefix draws on: the name cut at its
// last separator (the separator dropped): D:\dumps\sales gives D:\dumps,
// D:\sales gives D:, /backups/s gives /backups, /s gives /.  A name without
// a separator gives its drive ("D:" of "D:name") or "." when it has none.
// An object-storage URL is cut at its last '/' in either style.
std::string FreeSpaceDirectory(const std::string &prefix, PathStyle style);

}  // namespace kor

#endif  // KORBR_OS_PATH_RULES_H_
