#include "volume/media_switch.h"

#include <string>

#include "device/device_close.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "label/label_format.h"
#include "volume/volume_open.h"

namespace kor {

// A finished backup volume that cannot be closed (its file marks missing,
// or a close that reports lost writes) fails the switch: going on would
// report a backup as written that may not be whole.  On a restore the
// close only releases the volume, and its failure is traced and passed by.
int32_t SwitchMedia(StripeHandle *h, int32_t direction) {
  if (Traces(h, kTraceTape))
    TraceLine(h, "Stripe %d Switching Media (mode %d)\n", h->stripe, direction);
  if (direction == kModeWrite) {
    if (h->volume_number >= kMaxVolumeNumber) {
      // The next serial would not parse back to its number, so no restore
      // could follow the backup onto it.  The current volume stays open and
      // gets its closing labels when the stripe is closed.
      RaiseError(h, kErrWrite,
                 {h->devname, "volume limit reached (9999 volumes)"});
      return 0;
    }
    const int32_t written = WriteEovLabels(h);
    if (written != kTrailerSize) {
      if (Traces(h, kTraceTape))
        TraceLine(h, "Stripe %d EOV Label count mismatch (%d of %d)\n",
                  h->stripe, written, kTrailerSize);
      return 0;
    }
  }
  // The next volume is counted once, here: a read-side switch that failed
  // counted it already, and trying again asks for the same volume.
  if (!h->read_switch_failed) ++h->volume_number;
  h->read_switch_failed = false;
  const int32_t result = h->media_type == MEDIA_TAPE
                             ? ReopenTapeDevice(h, direction)
                             : ReopenDiskDevice(h, direction);
  if (result == 1) {
    h->io_status = IO_OK;
  } else if (direction == kModeRead) {
    // The refused volume (bad labels, another stripe's) must not stay open
    // as if it were next: the stripe stays at the end of the volume it
    // finished, so reading again tries the switch to the same volume.
    if (h->device_handle != kInvalidOsHandle) CloseDeviceFile(h);
    h->read_switch_failed = true;
    h->io_status = IO_AT_EOV;
  }
  return result;
}

int32_t ReopenTapeDevice(StripeHandle *h, int32_t direction) {
  const bool trace = Traces(h, kTraceVolume);
  const int32_t closed = CloseDevice(h, direction == kModeWrite ? 1 : 0);
  if (trace) TraceLine(h, "Stripe %d CloseDevice returned %d\n", h->stripe, closed);
  if (closed < 0 && direction == kModeWrite) return 0;
  bool ask_operator = false;
  if (direction == kModeWrite) {
    if (h->attended != 0 && h->nvols != 0) {
      if (trace)
        TraceLine(h, "Stripe %d WR attended ON %d vols left. ReOpen mode %d\n",
                  h->stripe, h->nvols, h->open_mode);
    } else if (h->attended != 0) {
      if (trace)
        TraceLine(h,
                  "Stripe %d WR attended ON, no vols. ReOpen mode %d Req Vol\n",
                  h->stripe, h->open_mode);
      ask_operator = true;
    } else if (h->nvols != 0) {
      if (trace)
        TraceLine(h, "Stripe %d WR attended OFF %d vols left. ReOpen mode %d\n",
                  h->stripe, h->nvols, h->open_mode);
    } else {
      if (trace)
        TraceLine(h, "Stripe %d WR attended OFF no vols gen err\n", h->stripe);
      RaiseError(h, kErrNoMoreVolumes, {h->devname});
      return 0;
    }
  } else if (h->attended == 0) {
    if (trace)
      TraceLine(h, "Stripe %d RD attended OFF no vols gen err\n", h->stripe);
    RaiseError(h, kErrNoMoreVolumes, {h->devname});
    return 0;
  } else {
    if (trace)
      TraceLine(h, "Stripe %d RD attended ON. ReOpen mode %d Req Vol\n",
                h->stripe, h->open_mode);
    ask_operator = true;
  }
  if (ask_operator) {
    const std::string volume = std::to_string(h->volume_number);
    PostInfo(h, kMsgMountVolume, {volume, h->devname});
  }
  const int32_t rc = OpenDevice(h, h->open_mode);
  if (trace) TraceLine(h, "Stripe %d Reopen sts %d\n", h->stripe, rc);
  return rc < 0 ? 0 : 1;
}

int32_t ReopenDiskDevice(StripeHandle *h, int32_t direction) {
  if (CloseDevice(h, 0) < 0 && direction == kModeWrite) return 0;
  return OpenDevice(h, h->open_mode) < 0 ? 0 : 1;
}

void AnnounceVolume(StripeHandle *h) {
  if (h->media_type != MEDIA_TAPE || h->attended == 0 || h->stacker != 0) return;
  const std::string volume = std::to_string(h->volume_number);
  PostInfo(h, h->open_mode == kModeWrite ? kMsgBackupVolume : kMsgRestoreVolume,
           {volume, h->devname});
}

}  // namespace kor
