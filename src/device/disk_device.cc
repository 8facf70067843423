#include "device/disk_device.h"

#include <string>

#include "device/disk_carry.h"
#include "diag/cancellation.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "os/os_layer.h"
#include "os/path_rules.h"
#include "os/win32_codes.h"

namespace kor {

int32_t OpenDiskDev(StripeHandle *h, int32_t mode) {
  if (HostCancelled()) {
    if (Traces(h, kTraceCancel))
      TraceLine(h, "Stripe %d Device %s Interrupt Seen\n", h->stripe,
                h->devname);
    RaiseError(h, kErrInterrupted, {h->devname, "interrup received"});
    return -1;
  }
  if (Traces(h, kTraceDisk))
    TraceLine(h, "Stripe %d, OpenDiskDev mode %d\n", h->stripe, mode);
  if (mode != kModeRead) {
    if (CheckNotDirectory(h) < 0) return -1;
    if (CheckFreeSpace(h, false) < 0) return -1;
  }
  return OpenDeviceFile(h, mode);
}

int32_t CheckNotDirectory(StripeHandle *h) {
  uint32_t attributes = Os().GetFileAttributes(h->devname);
  if (attributes != kInvalidFileAttributes &&
      (attributes & kFileAttributeDirectory) != 0) {
    RaiseError(h, kErrPrefixIsDirectory, {h->devname});
    return -1;
  }
  return 1;
}

int32_t CheckFreeSpace(StripeHandle *h, bool wait) {
  // Computed in 64 bits: a large reqfreekb must not wrap to a small need.
  const uint64_t required = static_cast<uint64_t>(h->reqfreekb) * 1024u;
  for (;;) {
    uint64_t free_bytes = 0;
    if (GetFreeSpace(h, &free_bytes) < 0) {
      // Reported once more against the device name: that is the text the
      // caller's message buffer keeps.
      RaiseError(h, kErrFreeSpace, {h->devname, SystemText(h->last_os_error)});
      return -1;
    }
    if (required < free_bytes) return 0;
    if (!wait) return 0;
    if (SleepInterruptible(10) < 0) return -1;
  }
}

int32_t GetFreeSpace(StripeHandle *h, uint64_t *free_bytes) {
  const std::string directory =
      FreeSpaceDirectory(h->devname, Os().path_style());
  uint32_t error = 0;
  if (!Os().GetDiskFreeSpace(directory, free_bytes, &error)) {
    h->last_os_error = error;
    RaiseError(h, kErrFreeSpace, {directory, SystemText(error)});
    return -1;
  }
  return 0;
}

int32_t OpenDeviceFile(StripeHandle *h, int32_t mode) {
  const bool disk = h->media_type == MEDIA_DISK;
  const std::string name =
      disk ? VolumeFileName(h->devname, h->volume_number) : h->devname;
  uint32_t access, share, creation;
  if (mode != kModeRead && mode != kModeWrite) {
    RaiseError(h, kErrOpenMode);
    return -1;
  }
  if (!disk) {
    access = kGenericRead | kGenericWrite;
    share = kShareReadWrite;
    creation = kOpenExisting;
  } else if (mode == kModeRead) {
    access = kGenericRead;
    share = kShareNone;
    creation = kOpenExisting;
  } else {
    access = kGenericWrite;
    share = kShareNone;
    creation = kCreateAlways;
  }
  // A backup volume's writes go through the carry; it is made before the
  // file, so that a failure leaves nothing to undo.
  if (disk && mode == kModeWrite && !StartCarry(h)) {
    h->last_os_error = kErrorNotEnoughMemory;
    RaiseError(h, kErrVolume, {name, SystemText(kErrorNotEnoughMemory)});
    return -1;
  }
  uint32_t error = 0;
  h->device_handle = Os().OpenFile(name, access, share, creation, &error);
  if (h->device_handle == kInvalidOsHandle) {
    h->last_os_error = error;
    RaiseError(h, kErrVolume, {name, SystemText(error)});
    if (Traces(h, kTraceVolume))
      TraceLine(h, "Stripe %d, Open %s failed. lasterr %d\n", h->stripe,
                name.c_str(), static_cast<int>(h->last_os_error));
    return -1;
  }
  h->cache_dropped = 0;
  // A restore reads each volume once, from start to end.
  if (disk && mode == kModeRead) Os().ExpectSequentialReads(h->device_handle);
  return 0;
}

}  // namespace kor
