#include "volume/volume_open.h"

#include <string>

#include "device/block_read.h"
#include "device/block_write.h"
#include "device/device_close.h"
#include "device/disk_device.h"
#include "device/tape_device.h"
#include "diag/cancellation.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "label/label_format.h"

namespace kor {
namespace {

int32_t OpenMedia(StripeHandle *h, int32_t mode) {
  return h->media_type == MEDIA_TAPE ? OpenTapeDev(h, mode)
                                     : OpenDiskDev(h, mode);
}

// Reports why the header labels of a restore volume were refused.  True
// when the volume is merely out of sequence (the operator may fix that).
bool ReportHeaderFailure(StripeHandle *h) {
  const bool trace = Traces(h, kTraceVolume);
  switch (h->io_status) {
    case IO_LABEL_ERROR:
      if (trace) TraceLine(h, "Stripe %d hdr1/2 labels smashed\n", h->stripe);
      RaiseError(h, kErrVolume, {h->devname, "bad label"});
      return false;
    case IO_WRONG_SEQUENCE:
      if (trace) TraceLine(h, "Stripe %d tapes out of order\n", h->stripe);
      RaiseError(h, kErrVolume, {h->devname, "bad restore sequence"});
      return true;
    case IO_WRONG_STRIPE:
      if (trace)
        TraceLine(h,
                  "Stripe %d wrong stripe tapes (should contain Stripe 0's "
                  "tapes)\n",
                  h->stripe);
      RaiseError(h, kErrVolume, {h->devname, "bad label on first stripe"});
      return false;
    default:
      if (trace)
        TraceLine(h, "Stripe %d Unknown err status reading HDR labels\n",
                  h->stripe);
      RaiseError(h, kErrVolume, {h->devname});
      return false;
  }
}

// Reads one header label of exactly `length` bytes.  0, a negative read
// result, or -1 with IO_LABEL_ERROR for any other count.
int32_t ReadLabel(StripeHandle *h, char *area, int32_t length) {
  const int32_t n = ReadDevice(h, area, length);
  if (n < 0) return n;
  if (n != length) {
    h->io_status = IO_LABEL_ERROR;
    return -1;
  }
  return 0;
}

// Seconds between two attempts to open a disk volume found out of
// sequence: the wait of a tape drive that is not ready.
constexpr uint32_t kSequenceWaitSeconds = 10;

// A disk that keeps refusing the trailer although free space is reported
// (a quota, say) must end in an error, not in an endless loop.
constexpr int kMaxTrailerDiskFullRounds = 100;

// The trailer waits for free space as data does: a volume without it
// cannot be followed on a restore, and a backup without its closing labels
// has no end.  kTrailerSize, or -1 after an error.
int32_t WriteTrailer(StripeHandle *h, const char *unit) {
  int32_t done = 0;
  for (int rounds = 0;;) {
    const int32_t n = WriteDevice(h, unit + done, kTrailerSize - done, true);
    if (n < 0) {
      if (h->io_status != IO_CAPACITY_FULL && h->io_status != IO_EOT)
        h->io_status = IO_LABEL_ERROR;
      return n;
    }
    done += n;
    if (done >= kTrailerSize) return kTrailerSize;
    if (h->io_status != IO_DISK_FULL || ++rounds > kMaxTrailerDiskFullRounds ||
        WaitDiskSpace(h) == 0) {
      RaiseError(h, kErrDiskFull, {h->devname});
      h->io_status = IO_LABEL_ERROR;
      return -1;
    }
  }
}

}  // namespace

int32_t OpenDevice(StripeHandle *h, int32_t mode) {
  const bool trace = Traces(h, kTraceVolume);
  if (trace) TraceLine(h, "Stripe %d OpenDevice mode %d\n", h->stripe, mode);
  h->spaceleft = h->capacity;
  h->open_mode = mode;
  // Bytes read ahead belong to the volume they came from.
  ResetVolumeReads(h);
  if (h->stacker != 0) {
    if (h->nvols == 0) {
      if (trace) TraceLine(h, "Stripe %d no vols left. Gen Err\n", h->stripe);
      RaiseError(h, kErrStackerEmpty, {h->devname});
      return -1;
    }
    --h->nvols;
    if (trace)
      TraceLine(h, "Stripe %d decrementing nvols %d of %d left\n", h->stripe,
                h->nvols, h->stacker);
  }
  for (;;) {
    const int32_t opened = OpenMedia(h, mode);
    if (opened < 0) return opened;
    if (mode == kModeWrite) {
      const int32_t written = WriteHdrLabels(h);
      if (written >= 0) {
        h->fresh_spaceleft = h->spaceleft;
        return written;
      }
      if (trace)
        TraceLine(h, "Stripe %d Could not write HDR labels\n", h->stripe);
      RaiseError(h, kErrVolume, {h->devname, "bad label"});
      return -1;
    }
    const int32_t checked = ReadHdrLabels(h);
    if (checked >= 0) return checked;
    if (!ReportHeaderFailure(h)) return -1;
    // Out of sequence: hand the volume back and, with an operator present,
    // ask for the right one.  The error stays on record even if the next
    // attempt succeeds.
    CloseDevice(h, 0);
    ResetVolumeReads(h);
    if (h->attended == 0) return -1;
    const std::string volume = std::to_string(h->volume_number);
    PostInfo(h, kErrVolume, {h->devname, "Tapes out of order"});
    PostInfo(h, kMsgMountVolume, {volume, h->devname});
    // A tape drive left empty makes its open wait for the operator; a disk
    // volume file is there again at once, and would be read, refused and
    // asked for as fast as it can be opened.  So a disk round waits as
    // long as a tape round would.  A cancel ends the wait early, and the
    // open that follows reports it.
    if (h->media_type == MEDIA_DISK) SleepInterruptible(kSequenceWaitSeconds);
  }
}

int32_t WriteHdrLabels(StripeHandle *h) {
  char vol1[kLabelSize], hdr1[kLabelSize], hdr2[kLabelSize];
  BuildVol1Label(vol1, h->stripe, h->volume_number);
  BuildHdr1Label(hdr1);
  BuildHdr2Label(hdr2);
  const struct {
    const char *label;
    int32_t length;
  } labels[] = {{vol1, kLabelSize}, {hdr1, kHdr1Size}, {hdr2, kLabelSize}};
  int32_t result = 0;
  for (const auto &label : labels) {
    result = WriteDevice(h, label.label, label.length, true);
    if (result != label.length) {
      // A label that did not reach the volume whole (a full disk, a write
      // that failed without a code) would leave a volume no restore can
      // open, while the backup went on as if it were labelled.
      h->io_status = IO_LABEL_ERROR;
      return result < 0 ? result : -1;
    }
  }
  return result;
}

int32_t ReadHdrLabels(StripeHandle *h) {
  char area[kLabelSize];
  int32_t result = ReadLabel(h, area, kLabelSize);
  if (result < 0) return result;
  int32_t found_stripe = 0, found_volume = 0;
  ParseVolumeSerial(area, &found_stripe, &found_volume);
  const bool trace = Traces(h, kTraceVolume);
  if (h->stripe == 0 && found_stripe != 0) {
    h->io_status = IO_WRONG_STRIPE;
    return -1;
  }
  if (h->label_stripe == -1) {
    h->label_stripe = found_stripe;
  } else if (found_stripe != h->label_stripe) {
    if (trace)
      TraceLine(h, "Expecting stripe %d, found stripe %d\n", h->label_stripe,
                found_stripe);
    h->io_status = IO_WRONG_SEQUENCE;
    return -1;
  }
  if (found_volume != h->volume_number) {
    if (trace)
      TraceLine(h, "Expecting tape #%d, found tape #%d\n", h->volume_number,
                found_volume);
    h->io_status = IO_WRONG_SEQUENCE;
    return -1;
  }
  result = ReadLabel(h, area, kHdr1Size);
  if (result < 0) return result;
  result = ReadLabel(h, area, kLabelSize);
  if (result < 0) return result;
  return 0;
}

int32_t WriteEovLabels(StripeHandle *h) {
  char unit[kTrailerSize];
  BuildEovRecord(unit);
  if (Traces(h, kTraceVolume))
    TraceLine(h, "Stripe %d Writing EOV labels\n", h->stripe);
  const int32_t n = WriteTrailer(h, unit);
  if (n < 0 && h->io_status == IO_LABEL_ERROR && Traces(h, kTraceVolume))
    TraceLine(h, "Stripe %d Error writing EOV label\n", h->stripe);
  return n;
}

int32_t WriteEofLabels(StripeHandle *h) {
  char unit[kTrailerSize];
  BuildEofRecord(unit);
  return WriteTrailer(h, unit);
}

}  // namespace kor

