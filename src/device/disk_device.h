// Disk volumes: volume n of a stripe is the file "<devname>.<n>".
//
// OpenDeviceFile creates the OS handle of the current volume for both media
// (tape opens go through it too).  The disk open checks, for a backup, that
// the prefix is not a directory and that free space can be queried;
// CheckFreeSpace can also wait for space to come back.
#ifndef KORBR_DEVICE_DISK_DEVICE_H_
#define KORBR_DEVICE_DISK_DEVICE_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Opens the current volume file for a restore (mode 0) or a backup (mode
// 1).  0 with device_handle set; -1 after raising 6932 (cancelled), 6944,
// 6929, 6923 or 6920.
int32_t OpenDiskDev(StripeHandle *h, int32_t mode);

// 1 when devname is not an existing directory; -1 after raising 6944.
int32_t CheckNotDirectory(StripeHandle *h);

// Compares the free space of devname's directory with reqfreekb KB (free
// space must exceed it).  Without waiting, too little space is not a
// failure.  With waiting, checks again every 10 seconds until there is
// enough.  0 done; -1 when the query failed (6929 raised) or the host
// cancelled the wait (nothing raised).
int32_t CheckFreeSpace(StripeHandle *h, bool wait);

// Free bytes available to the caller on devname's directory.  0 with
// *free_bytes set; -1 after raising 6929 for the directory.
int32_t GetFreeSpace(StripeHandle *h, uint64_t *free_bytes);

// Opens the volume's file (disk) or the drive (tape) for `mode` and stores
// the handle in device_handle.  0 on success; -1 after raising 6923 (mode
// not 0 or 1) or 6920 (the open failed, with the name and system text).
int32_t OpenDeviceFile(StripeHandle *h, int32_t mode);

}  // namespace kor

#endif  // KORBR_DEVICE_DISK_DEVICE_H_
