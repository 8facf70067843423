// Tape names on POSIX: which drive a Windows-style "\\.\NAME" stands for.
//
// NAME is looked up in the device directory: /dev, or the directory named
// by the environment variable KOR_DEVICE_DIR when it is set.  When there is
// no entry NAME and NAME is TAPE<n> (any case), the entry nst<n> is used,
// so device strings written for Windows reach the Linux non-rewinding SCSI
// tape devices unchanged.  The entry decides the backend: a character
// device is driven through the Linux st driver, a directory made by
// `korbr vtape create` is a virtual drive; anything else is not a tape
// drive (2, file not found).
#ifndef KORBR_OS_TAPE_TAPE_RESOLVER_H_
#define KORBR_OS_TAPE_TAPE_RESOLVER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "os/tape/tape_backend.h"

namespace kor {

enum class TapeKind { kNone, kStDevice, kVirtualDrive };

struct TapeTarget {
  TapeKind kind = TapeKind::kNone;
  std::string path;  // the device node or the drive directory
};

// "/dev", or KOR_DEVICE_DIR when set and not empty.
std::string TapeDeviceDirectory();

// True when `name` begins with "\\.\" (two backslashes, a full stop and a
// backslash).
bool IsTapeDevicePath(const std::string &name);

// Resolves `name` ("\\.\NAME") against `device_dir`.  0 with *target set,
// or kErrorFileNotFound (2) when nothing there is a tape drive.  A NAME
// that is empty, "." or "..", or holds a '/' or '\', would leave the
// device directory: kErrorInvalidName (123), which no waiting can mend.
uint32_t ResolveTapeName(const std::string &name, const std::string &device_dir,
                         TapeTarget *target);

// Resolves `name` in TapeDeviceDirectory() and opens the drive for
// CreateFile's `access` and `share`.  Null with *error set on failure.
std::unique_ptr<TapeBackend> OpenTapeDevice(const std::string &name,
                                            uint32_t access, uint32_t share,
                                            uint32_t *error);

}  // namespace kor

#endif  // KORBR_OS_TAPE_TAPE_RESOLVER_H_
