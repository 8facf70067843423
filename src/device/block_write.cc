#include "device/block_write.h"

#include <cinttypes>
#include <cstring>

#include "device/disk_carry.h"
#include "device/disk_device.h"
#include "device/io_profile.h"
#include "device/raw_transfer.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"

namespace kor {

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
  return WriteDiskDevice(h, data, length, skip_check);
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

int32_t WriteDiskDevice(StripeHandle *h, const void *data, int32_t length,
                        bool label) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  if (h->carry == nullptr || h->device_handle == kInvalidOsHandle) {
    // No volume open for a backup: the write goes to the OS as it is and
    // fails there with the reason the OS gives.
    int32_t done = 0;
    while (done < length) {
      const int32_t r = WriteWithRetry(h, bytes + done,
                                       static_cast<uint32_t>(length - done));
      if (r <= 0) {
        h->io_status = IO_DISK_FULL;
        return r < 0 ? r : done;
      }
      ConsumeSpace(h, r);
      done += r;
    }
    return done;
  }
  // The trace and the statistics describe the transfer the caller asked
  // for, whatever OS writes carried it.
  bu_timeval start, end;
  const bool start_valid = h->ioprof_samples != 0 && TakeTimeSample(&start);
  const int32_t r = CarryWrite(h, bytes, length, label);
  if (r < 0) return r;
  // A request of no bytes is a transfer too: it is traced ("wrote 0 of 0")
  // and sampled like any other, though nothing reaches the volume.
  if (r > 0 || length == 0) {
    if (Traces(h, kTraceTransfer))
      TraceLine(h, "Stripe %d WriteFile OK wrote %d of %d\n", h->stripe,
                static_cast<int>(r), static_cast<int>(length));
    if (start_valid && TakeTimeSample(&end)) RecordIoRate(h, start, end, r);
    ConsumeSpace(h, r);
  }
  if (r < length) h->io_status = IO_DISK_FULL;
  return r;
}

void ConsumeSpace(StripeHandle *h, int64_t count) {
  const uint64_t amount = count < 0 ? 0 : static_cast<uint64_t>(count);
  h->spaceleft = amount >= h->spaceleft ? 0 : h->spaceleft - amount;
}

int32_t WaitDiskSpace(StripeHandle *h) {
  return CheckFreeSpace(h, true) < 0 ? 0 : 1;
}

}  // namespace kor
