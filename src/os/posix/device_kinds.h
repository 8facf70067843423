// The kinds of file the POSIX OS layer opens, told apart by the name once,
// at OpenFile: a tape drive ("\\.\NAME", os/tape/tape_resolver.h), an
// object ("s3://BUCKET/KEY", os/objstore/object_files.h), or else a disk
// file (disk_file.h).  A new kind is one row of the table in
// device_kinds.cc and a FileBackend (file_backend.h); the calls on an open
// handle then reach it through the handle table.
#ifndef KORBR_OS_POSIX_DEVICE_KINDS_H_
#define KORBR_OS_POSIX_DEVICE_KINDS_H_

#include <cstdint>
#include <string>

#include "os/os_layer.h"

namespace kor {

struct DeviceKind {
  // True when `name` is of this kind.
  bool (*claims)(const std::string &name);
  // Opens `name` for CreateFile's `access`, `share` and `creation`, and
  // enters its backend in the handle table where it has one.  The handle,
  // or kInvalidOsHandle with *error set.
  OsHandle (*open)(const std::string &name, uint32_t access, uint32_t share,
                   uint32_t creation, uint32_t *error);
  // False for names outside the file system (an object store): they have
  // no directory to flush, no attributes and no free space to run out of.
  bool in_file_system;
};

// The kind of `name`: the first row that claims it, disk files last.
const DeviceKind &DeviceKindOf(const std::string &name);

}  // namespace kor

#endif  // KORBR_OS_POSIX_DEVICE_KINDS_H_
