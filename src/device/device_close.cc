#include "device/device_close.h"

#include <string>

#include "device/disk_carry.h"
#include "device/volume_cache.h"
#include "device/win32_error_map.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "os/os_layer.h"

namespace kor {

int32_t CloseDevice(StripeHandle *h, int32_t filemarks) {
  if (h->media_type == MEDIA_TAPE) return CloseTapeDevice(h, filemarks);
  return CloseDeviceFile(h);
}

int32_t CloseTapeDevice(StripeHandle *h, int32_t filemarks) {
  if (Traces(h, kTraceTape))
    TraceLine(h, "Stripe %d CloseTapeDevice WEOF? %c\n", h->stripe,
              filemarks != 0 ? 'Y' : 'N');
  // With no drive open (a failed open already gave it back) there is no
  // tape to mark or unload; trying would only bury the real reason for the
  // failure under an error about an invalid handle.
  if (h->device_handle == kInvalidOsHandle) return CloseDeviceFile(h);
  if (filemarks != 0 && WriteEofMarks(h) < 0) return -1;
  std::string ignored;
  bool unloaded = true;
  if (!Os().GetEnv("KOR_DO_NOT_OFFL", &ignored)) {
    // A failed unload is reported but does not keep the handle open.
    unloaded = RewindOffline(h) == 0;
  }
  const int32_t closed = CloseDeviceFile(h);
  // File marks end a backup volume that another is to follow.  Left in the
  // drive, it would take the next volume after its marks, where no restore
  // looks for it, and the backup would go on as if nothing were amiss.
  if (filemarks != 0 && !unloaded) return -1;
  return closed;
}

int32_t WriteEofMarks(StripeHandle *h) {
  h->last_os_error = Os().WriteTapemarks(h->device_handle, 2);
  if (h->last_os_error != 0) {
    RaiseError(h, kErrTapemark, {h->devname, SystemText(h->last_os_error)});
    return -1;
  }
  if (Traces(h, kTraceTape))
    TraceLine(h, "Stripe %d Wrote 2 EOF marks\n", h->stripe);
  return 0;
}

int32_t RewindOffline(StripeHandle *h) {
  h->last_os_error = Os().UnloadTape(h->device_handle);
  if (h->last_os_error != 0) {
    RaiseError(h, kErrTapemark, {h->devname, SystemText(h->last_os_error)});
    return -1;
  }
  if (Traces(h, kTraceTape)) TraceLine(h, "Stripe %d Did REWOFFL\n", h->stripe);
  return 0;
}

namespace {

// CloseDeviceFile and AbandonDeviceFile: the same steps, but a volume that
// is abandoned, or that could not be finished, is handed back with
// AbandonFile, so that an object store discards it rather than keep an
// object that could pass for a whole volume.  A disk file is closed either
// way, with the same bytes.
int32_t CloseVolumeFile(StripeHandle *h, bool abandon) {
  if (h->device_handle == kInvalidOsHandle) {
    if (Traces(h, kTraceVolume))
      TraceLine(h, "Stripe %d close %s not open\n", h->stripe, h->devname);
    return 0;
  }
  // A backup volume is written out and on stable storage before its close
  // counts.  Its handle is released all the same when that fails.
  const bool finish = h->media_type == MEDIA_DISK && h->open_mode == kModeWrite;
  const int32_t finished = finish ? FinishDiskVolume(h) : 0;
  const bool discard = abandon || finished < 0;
  // Written out and flushed, or read to its end: nobody will read the
  // volume again soon.
  DropVolumeCacheRest(h);
  bool repeated = false;
  uint32_t code = 0;
  for (int attempt = 0;; ++attempt) {
    if (discard ? Os().AbandonFile(h->device_handle, &code)
                : Os().CloseHandle(h->device_handle, &code))
      break;
    MapWin32Error(code);
    const int32_t error_class = ThreadErrorClass();
    if (repeated && error_class == kClassInvalidHandle) break;
    if (error_class == kClassInterrupted && attempt < kMaxInterruptedRepeats) {
      repeated = true;
      continue;
    }
    h->last_os_error = code;
    if (Traces(h, kTraceVolume))
      TraceLine(h, "Stripe %d close failed lasterr %d\n", h->stripe,
                static_cast<int>(h->last_os_error));
    RaiseError(h, kErrClose, {h->devname, SystemText(code)});
    return -1;
  }
  h->device_handle = kInvalidOsHandle;
  if (finished < 0) return -1;
  // The new volume's name must be durable in its directory too.
  if (finish && h->flush_volumes &&
      !Os().FlushDirectory(h->devname, &code)) {
    h->last_os_error = code;
    RaiseError(h, kErrClose, {h->devname, SystemText(code)});
    return -1;
  }
  if (Traces(h, kTraceVolume)) TraceLine(h, "Stripe %d close OK\n", h->stripe);
  return 0;
}

}  // namespace

int32_t CloseDeviceFile(StripeHandle *h) { return CloseVolumeFile(h, false); }

int32_t AbandonDeviceFile(StripeHandle *h) { return CloseVolumeFile(h, true); }

int32_t FinishDiskVolume(StripeHandle *h) {
  if (h->carry != nullptr && FlushCarry(h) < 0) return -1;
  uint32_t code = 0;
  // A volume file removed while it was written (its last name gone) holds
  // a backup nobody can read back: its close must not count.  Checked
  // after the flush, which KOR_NO_FLUSH skips but this does not.
  if ((h->flush_volumes && !Os().FlushFile(h->device_handle, &code)) ||
      !Os().CheckFileNamed(h->device_handle, &code)) {
    h->last_os_error = code;
    if (Traces(h, kTraceVolume))
      TraceLine(h, "Stripe %d close failed lasterr %d\n", h->stripe,
                static_cast<int>(code));
    RaiseError(h, kErrClose, {h->devname, SystemText(code)});
    return -1;
  }
  return 0;
}

}  // namespace kor
