#include "device/disk_carry.h"

#include <cstring>
#include <new>

#include "device/block_write.h"
#include "device/device_close.h"
#include "device/raw_transfer.h"
#include "device/volume_cache.h"
#include "diag/error_report.h"
#include "os/os_layer.h"

namespace kor {
namespace {

// A stripe's memory, its carry included, stays within 72 KiB (a tape
// stripe's block buffer aside): a host may drive 32 of them at once.
static_assert(sizeof(StripeHandle) + kCarryCapacity <= 72 * 1024,
              "a stripe handle with its carry outgrows 72 KiB");

// Hands `count` bytes to the OS: the first `from_carry` from the carry,
// the rest from `data`.  Stops early at a full disk (0 from the write) or
// an error (negative, raised).  Whatever the OS took leaves the carry and
// advances volume_offset; the result is the bytes taken, or the failed
// write's negative result.
int64_t HandOver(StripeHandle *h, const uint8_t *data, uint64_t from_carry,
                 uint64_t count, int32_t logical) {
  uint64_t taken = 0;
  while (taken < count) {
    ByteSlice slices[2];
    int used = 0;
    if (taken < from_carry) {
      slices[used++] = {h->carry.get() + taken,
                        static_cast<uint32_t>(from_carry - taken)};
    }
    const uint64_t data_done = taken > from_carry ? taken - from_carry : 0;
    const uint64_t data_left = count - from_carry - data_done;
    // One write takes at most 1 GiB of the request; the OS may take less.
    const uint64_t piece = data_left < (1u << 30) ? data_left : (1u << 30);
    if (piece > 0)
      slices[used++] = {data + data_done, static_cast<uint32_t>(piece)};
    const int32_t r =
        GatherWithRetry(h, slices, used, static_cast<uint32_t>(logical));
    if (r <= 0) {
      if (taken == 0) return r;
      break;
    }
    taken += static_cast<uint64_t>(r);
    const uint64_t before = h->volume_offset;
    h->volume_offset += static_cast<uint64_t>(r);
    const uint64_t done = h->volume_offset / kWritebackChunk * kWritebackChunk;
    const uint64_t from = before / kWritebackChunk * kWritebackChunk;
    if (h->flush_volumes && done > from)
      Os().StartWriteback(h->device_handle, from, done - from);
    // The piece before the one whose writeback just began has had a whole
    // piece's time to reach the disk: it leaves the cache.
    if (done > from && done >= kWritebackChunk)
      DropVolumeCacheBefore(h, done - kWritebackChunk);
  }
  // What left the carry goes; the rest of it moves to the front.
  const uint64_t carry_taken = taken < from_carry ? taken : from_carry;
  if (carry_taken > 0) {
    h->carry_len -= static_cast<int32_t>(carry_taken);
    std::memmove(h->carry.get(), h->carry.get() + carry_taken,
                 static_cast<size_t>(h->carry_len));
  }
  return static_cast<int64_t>(taken);
}

}  // namespace

bool StartCarry(StripeHandle *h) {
  if (h->carry == nullptr) {
    h->carry.reset(new (std::nothrow) uint8_t[kCarryCapacity]);
    if (h->carry == nullptr) return false;
  }
  h->carry_len = 0;
  h->volume_offset = 0;
  return true;
}

int32_t CarryWrite(StripeHandle *h, const uint8_t *data, int32_t length,
                   bool label) {
  const int64_t carried = h->carry_len;
  const int64_t due = carried + length;
  if (due < kGatherBytes || (label && due <= kCarryCapacity)) {
    if (length > 0)
      std::memcpy(h->carry.get() + carried, data, static_cast<size_t>(length));
    h->carry_len = static_cast<int32_t>(due);
    return length;
  }
  // Everything up to the last page boundary the carry and the transfer
  // reach goes out now.  That is at least 60 KiB, and usually all of the
  // carry with it; only after a short write has left the file off a page
  // can the boundary fall inside the carry.
  const uint64_t end = h->volume_offset + static_cast<uint64_t>(due);
  const uint64_t out = (end & ~(kWriteAlignment - 1)) - h->volume_offset;
  const uint64_t from_carry =
      out < static_cast<uint64_t>(carried) ? out : static_cast<uint64_t>(carried);
  const int64_t taken = HandOver(h, data, from_carry, out, length);
  if (taken < 0) return static_cast<int32_t>(taken);
  // Bytes of this transfer that reached the file: those after the carry.
  const int64_t data_taken = taken > carried ? taken - carried : 0;
  if (static_cast<uint64_t>(taken) < out) {
    // A full disk: the caller waits and gives the rest of the transfer
    // again; the carry keeps what the file did not take.
    return static_cast<int32_t>(data_taken);
  }
  // The tail past the boundary (under one page) joins what is left of the
  // carry, which is nothing unless the boundary fell inside it.
  const int64_t tail = length - data_taken;
  if (tail > 0) {
    std::memcpy(h->carry.get() + h->carry_len, data + data_taken,
                static_cast<size_t>(tail));
    h->carry_len += static_cast<int32_t>(tail);
  }
  return length;
}

int32_t FlushCarry(StripeHandle *h) {
  int disk_full_rounds = 0;
  while (h->carry_len > 0) {
    const int32_t logical = h->carry_len;
    const int64_t taken = HandOver(h, nullptr, static_cast<uint64_t>(logical),
                                   static_cast<uint64_t>(logical), logical);
    if (taken < 0) return -1;
    if (taken > 0) {
      disk_full_rounds = 0;
      continue;
    }
    // The disk is full: wait for space, as a request would, and say so
    // when it never comes rather than drop bytes the host was told are
    // written.
    if (++disk_full_rounds > kMaxDiskFullRounds || WaitDiskSpace(h) == 0) {
      RaiseError(h, kErrDiskFull, {h->devname});
      return -1;
    }
  }
  return 0;
}

}  // namespace kor
