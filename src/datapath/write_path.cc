#include "datapath/write_path.h"

#include <cinttypes>
#include <cstring>

#include "datapath/media_switch.h"
#include "device/disk_device.h"
#include "device/raw_transfer.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"

namespace kor {
namespace {

// A disk that keeps refusing writes although the space check finds room
// (a quota, say) must end in an error, not in an endless loop.
constexpr int kMaxDiskFullRounds = 100;

}  // namespace

int32_t WriteRequest(StripeHandle *h, const void *data, int32_t length) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  // Bytes of this request already on the current volume: a disk that filled
  // up mid-request gets only the rest once space is back, so nothing is
  // written twice.  A volume switch starts the request again from its
  // first byte on the new volume.
  int32_t done = 0;
  int disk_full_rounds = 0;
  for (;;) {
    const int32_t n = WriteDevice(h, bytes + done, length - done, false);
    if (n < 0 || n > length - done) return -1;
    if (n > 0) disk_full_rounds = 0;
    done += n;
    if (done == length) return 0;
    switch (h->io_status) {
      case IO_CAPACITY_FULL:
        if (static_cast<uint64_t>(length) > h->fresh_spaceleft) {
          // Not even an empty volume could hold it: switching would only
          // use up volumes.
          RaiseError(h, kErrWrite,
                     {h->devname, "request larger than a volume can hold"});
          return -1;
        }
        if (SwitchMedia(h, kModeWrite) == 0) return -1;
        AnnounceVolume(h);
        done = 0;
        break;
      case IO_DISK_FULL:
        if (++disk_full_rounds > kMaxDiskFullRounds || WaitDiskSpace(h) == 0) {
          RaiseError(h, kErrDiskFull, {h->devname});
          return -1;
        }
        break;
      default:
        RaiseError(h, kErrWrite, {h->devname, "request written only in part"});
        return -1;
    }
  }
}

int32_t WriteDevice(StripeHandle *h, const void *data, int32_t length,
                    bool skip_check) {
  if (!skip_check && h->capacity != 0) {
    if (h->spaceleft <= 0x100000u && Traces(h, kTraceTransfer))
      TraceLine(h,
                "Stripe %d capacity check, total %" PRId64 " left %" PRId64
                ", tobewritten %d\n",
                h->stripe, static_cast<int64_t>(h->capacity),
                static_cast<int64_t>(h->spaceleft), length);
    if (static_cast<uint64_t>(length) > h->spaceleft) {
      h->io_status = IO_CAPACITY_FULL;
      return 0;
    }
  }
  if (h->media_type == MEDIA_TAPE) return WriteTapeDevice(h, data, length);
  return WriteDiskDevice(h, data, length);
}

int32_t WriteTapeDevice(StripeHandle *h, const void *data, int32_t length) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  const int32_t block = h->blocksize;
  int32_t offset = 0;
  // A request of zero bytes still takes one (padding) block, as a short
  // request does: every request occupies whole blocks.
  do {
    const int32_t chunk = length - offset < block ? length - offset : block;
    const uint8_t *source = bytes + offset;
    if (chunk < block) {
      // A zero-length request may come without a buffer.
      if (chunk > 0)
        std::memcpy(h->block_buffer.get(), source, static_cast<size_t>(chunk));
      source = h->block_buffer.get();
    }
    const int32_t r = WriteWithRetry(h, source, static_cast<uint32_t>(block));
    if (r < 0) return r;
    if (r < block) {
      h->io_status = IO_EOT;
      if (Traces(h, kTraceAnomaly))
        TraceLine(h,
                  "Stripe %d assumed EOT due to short write  (%d of %d) "
                  "capacity %" PRId64 " spaceleft %" PRId64 "\n",
                  h->stripe, r, block, static_cast<int64_t>(h->capacity),
                  static_cast<int64_t>(h->spaceleft));
      RaiseError(h, kErrWrite, {h->devname, "Reached EOT when size set"});
      return -1;
    }
    ConsumeSpace(h, r);
    offset += chunk;
  } while (offset < length);
  return length;
}

int32_t WriteDiskDevice(StripeHandle *h, const void *data, int32_t length) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  int32_t done = 0;
  while (done < length) {
    const int32_t r =
        WriteWithRetry(h, bytes + done, static_cast<uint32_t>(length - done));
    if (r <= 0) {
      h->io_status = IO_DISK_FULL;
      return r < 0 ? r : done;
    }
    ConsumeSpace(h, r);
    done += r;
  }
  return done;
}

void ConsumeSpace(StripeHandle *h, int64_t count) {
  const uint64_t amount = count < 0 ? 0 : static_cast<uint64_t>(count);
  h->spaceleft = amount >= h->spaceleft ? 0 : h->spaceleft - amount;
}

int32_t WaitDiskSpace(StripeHandle *h) {
  return CheckFreeSpace(h, true) < 0 ? 0 : 1;
}

}  // namespace kor
