#include "os/tape/tape_resolver.h"

#include <sys/stat.h>

#include <cstdlib>

#include "os/tape/st_backend.h"
#include "os/tape/virtual_tape.h"
#include "os/win32_codes.h"
#include "rules/tape_name_rules.h"

namespace kor {
namespace {

bool Exists(const std::string &path, struct stat *st) {
  return ::stat(path.c_str(), st) == 0;
}

}  // namespace

std::string TapeDeviceDirectory() {
  const char *dir = std::getenv("KOR_DEVICE_DIR");
  if (dir != nullptr && dir[0] != '\0') return dir;
  return "/dev";
}

bool IsTapeDevicePath(const std::string &name) {
  return HasTapePrefix(name);
}

uint32_t ResolveTapeName(const std::string &name, const std::string &device_dir,
                         TapeTarget *target) {
  *target = TapeTarget();
  if (!IsTapeDevicePath(name)) return kErrorFileNotFound;
  // One name inside the device directory, never a way out of it.
  const std::string entry = name.substr(kTapePrefixLength);
  if (entry.empty() || entry == "." || entry == ".." ||
      entry.find_first_of("/\\") != std::string::npos)
    return kErrorInvalidName;
  std::string path = device_dir + "/" + entry;
  struct stat st;
  if (!Exists(path, &st)) {
    const std::string linux_name = LinuxTapeName(entry);
    if (linux_name.empty()) return kErrorFileNotFound;
    path = device_dir + "/" + linux_name;
    if (!Exists(path, &st)) return kErrorFileNotFound;
  }
  if (S_ISCHR(st.st_mode)) {
    target->kind = TapeKind::kStDevice;
  } else if (S_ISDIR(st.st_mode) && IsVirtualDrive(path)) {
    target->kind = TapeKind::kVirtualDrive;
  } else {
    return kErrorFileNotFound;
  }
  target->path = path;
  return 0;
}

std::unique_ptr<TapeBackend> OpenTapeDevice(const std::string &name,
                                            uint32_t access, uint32_t share,
                                            uint32_t *error) {
  TapeTarget target;
  *error = ResolveTapeName(name, TapeDeviceDirectory(), &target);
  if (*error != 0) return nullptr;
  const bool writable = (access & kGenericWrite) != 0;
  if (target.kind == TapeKind::kVirtualDrive)
    return OpenVirtualDrive(target.path, writable, share != kShareReadWrite,
                            error);
  return OpenStDrive(target.path, writable, ActiveStKernel(), error);
}

}  // namespace kor
