#include "device/tape_device.h"

#include <cinttypes>

#include "device/device_close.h"
#include "device/disk_device.h"
#include "diag/cancellation.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "os/os_layer.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

constexpr uint32_t kNotReadyWaitSeconds = 10;
constexpr uint32_t kWriteProtectedWaitSeconds = 100;

char YesNo(bool value, bool upper) {
  return value ? (upper ? 'Y' : 'y') : (upper ? 'N' : 'n');
}

// Gives a write-protected cartridge back: open, unload, close.
void EjectCartridge(StripeHandle *h) {
  OpenDeviceFile(h, kModeRead);
  RewindOffline(h);
  CloseDeviceFile(h);
}

}  // namespace

int32_t OpenTapeDev(StripeHandle *h, int32_t mode) {
  if (Traces(h, kTraceTape))
    TraceLine(h, "Stripe %d OpenTapeDev mode %d\n", h->stripe, mode);
  for (;;) {
    if (HostCancelled()) {
      if (Traces(h, kTraceCancel))
        TraceLine(h, "Stripe %d Device %s Interrupt Seen\n", h->stripe,
                  h->devname);
      RaiseError(h, kErrInterrupted, {h->devname, "interrup received"});
      return -1;
    }
    // A failed open has raised 6920 and left no handle, which the status
    // query below reports as "not ready".  A device this build cannot drive
    // at all, or a name that can never be a drive, will never become
    // ready: waiting for it would never end.
    if (OpenDeviceFile(h, mode) < 0 &&
        (h->last_os_error == kErrorNotSupported ||
         h->last_os_error == kErrorInvalidName))
      return -1;
    if (QueryTapeStatus(h) != kTapeReady) {
      CloseDeviceFile(h);
      if (SleepInterruptible(kNotReadyWaitSeconds) < 0) {
        if (Traces(h, kTraceCancel))
          TraceLine(h, "Stripe %d Device %s interrupt received during sleep\n",
                    h->stripe, h->devname);
        RaiseError(h, kErrInterrupted, {h->devname, "interrupt received"});
        return -1;
      }
      continue;
    }
    if (h->trace_mask != 0) TraceTapeInfo(h);
    if (SetTapeBlockSize(h) < 0) return -1;
    if (mode != kModeWrite) return 0;
    switch (QueryWriteProtect(h)) {
      case kTapeWritable:
        return 0;
      case kTapeQueryFailed:
        RaiseError(h, kErrInterrupted, {h->devname});
        return -1;
      default:
        break;
    }
    CloseDeviceFile(h);
    if (h->attended == 0) {
      if (Traces(h, kTraceTape))
        TraceLine(h, "Stripe %d Device %s write protected. Cannot continue\n",
                  h->stripe, h->devname);
      EjectCartridge(h);
      RaiseError(h, kErrInterrupted,
                 {h->devname, "write protected. Cannot continue"});
      return -1;
    }
    if (Traces(h, kTraceTape))
      TraceLine(h, "Stripe %d Device %s write protected. Retrying\n", h->stripe,
                h->devname);
    PostInfo(h, kErrVolume, {h->devname, "write protected"});
    EjectCartridge(h);
    // A cancel during this wait is seen at the top of the loop.
    SleepInterruptible(kWriteProtectedWaitSeconds);
  }
}

uint8_t QueryTapeStatus(StripeHandle *h) {
  if (h->device_handle == kInvalidOsHandle) return kTapeNotReady;
  return Os().GetTapeStatus(h->device_handle) == 0 ? kTapeReady
                                                   : kTapeNotReady;
}

uint8_t QueryWriteProtect(StripeHandle *h) {
  TapeMediaParams media;
  uint32_t error = 0;
  if (!Os().GetTapeMediaParams(h->device_handle, &media, &error)) {
    h->last_os_error = error;
    RaiseError(h, kErrMediaParams, {h->devname, SystemText(error)});
    return kTapeQueryFailed;
  }
  if (Traces(h, kTraceTape))
    TraceLine(h, "Stripe %d Tape write protected? %c\n", h->stripe,
              YesNo(media.write_protected, true));
  return media.write_protected ? kTapeProtected : kTapeWritable;
}

int32_t SetTapeBlockSize(StripeHandle *h) {
  TapeDriveParams drive;
  uint32_t error = 0;
  if (!Os().GetTapeDriveParams(h->device_handle, &drive, &error)) {
    h->last_os_error = error;
    RaiseError(h, kErrDriveParams, {h->devname, SystemText(error)});
    return -1;
  }
  const uint32_t block = static_cast<uint32_t>(h->blocksize);
  if (block < drive.minimum_block_size || block > drive.maximum_block_size) {
    RaiseError(h, kErrBlockSizeRange, {h->devname});
    return -1;
  }
  if (!Os().SetTapeBlockSize(h->device_handle, block, &error)) {
    h->last_os_error = error;
    RaiseError(h, kErrSetBlockSize, {h->devname, SystemText(error)});
    return -1;
  }
  if (Traces(h, kTraceTape))
    TraceLine(h, "Stripe %d NT blocksize set to %d\n", h->stripe, h->blocksize);
  TapeMediaParams media;
  if (!Os().GetTapeMediaParams(h->device_handle, &media, &error)) {
    h->last_os_error = error;
    RaiseError(h, kErrMediaParams, {h->devname, SystemText(error)});
    return -1;
  }
  return 0;
}

void TraceTapeInfo(StripeHandle *h) {
  const bool trace = Traces(h, kTraceTapeInfo);
  uint32_t error = 0;
  TapeMediaParams media;
  if (Os().GetTapeMediaParams(h->device_handle, &media, &error) && trace) {
    TraceLine(h, "Stripe %d Tape Media Info for WinNT\n", h->stripe);
    TraceLine(h,
              "NativeCapacity %" PRId64 " Remaining %" PRId64
              " BlkSize %d PartCount %d WriteProt %c\n",
              media.capacity, media.remaining,
              static_cast<int>(media.block_size),
              static_cast<int>(media.partition_count),
              YesNo(media.write_protected, false));
  }
  TapeDriveParams drive;
  if (Os().GetTapeDriveParams(h->device_handle, &drive, &error) && trace) {
    TraceLine(h, "Stripe %d Tape Drive Info for WinNT\n", h->stripe);
    TraceLine(h, "ECC %c Compression %c Padding %c RptSetMks %c\n",
              YesNo(drive.ecc, false), YesNo(drive.compression, false),
              YesNo(drive.data_padding, false),
              YesNo(drive.report_setmarks, false));
    TraceLine(h,
              "DefBS %" PRId64 " MaxBS %" PRId64 " MinBS %" PRId64
              " MaxPC %" PRId64 " Fl %x Fh %x\n",
              static_cast<int64_t>(drive.default_block_size),
              static_cast<int64_t>(drive.maximum_block_size),
              static_cast<int64_t>(drive.minimum_block_size),
              static_cast<int64_t>(drive.maximum_partition_count),
              drive.features_low, drive.features_high);
  }
}

}  // namespace kor
