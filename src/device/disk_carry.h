// The carry of a disk backup volume: page-aligned OS writes, same bytes.
//
// A volume's data begins at byte 228, after VOL1, HDR1 and HDR2, so
// requests written to the file as they come would each straddle pages of
// the page cache, and every one costs the kernel more than a write that
// starts and ends on a page.  Instead a disk backup hands the OS only
// writes that begin and end on a 4 KiB offset of the file: the part of a
// transfer past the last whole page waits in the handle's carry buffer
// and goes out in front of the next transfer, in one gathered write.
// Transfers too small to make up 64 KiB with what is carried are gathered
// there too, and labels always are.  Only the last write of a volume (the
// one before its close, holding the closing labels) may end off a page.
//
// The volume's bytes are exactly those of writing each transfer as it
// comes; only the OS calls differ.  What is carried counts as written for
// the host (its request succeeded), so a carried byte that later cannot
// be written fails the transfer that tries, or the close, with the error
// the write raises: never silently.
#ifndef KORBR_DEVICE_DISK_CARRY_H_
#define KORBR_DEVICE_DISK_CARRY_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Transfers are gathered until at least this many bytes are due.
constexpr int32_t kGatherBytes = 64 * 1024;
// The carry buffer: less than kGatherBytes of gathered transfers, plus
// room for the 160-byte closing labels that always join them.
constexpr int32_t kCarryCapacity = kGatherBytes + 160;
// OS writes begin and end on multiples of this file offset.
constexpr uint64_t kWriteAlignment = 4096;
// A volume that will be flushed at its close has each such piece sent on
// its way to the medium as soon as it is written: the disk works while the
// stripe goes on, and the flush at the close has little left to wait for.
constexpr uint64_t kWritebackChunk = 8u << 20;

// Makes the carry when the handle has none and empties it for a volume
// that was just opened.  False when the buffer cannot be had.
bool StartCarry(StripeHandle *h);

// Takes `length` bytes for the open volume, into the carry or onto the
// file.  The count of those bytes the volume now holds: `length`, or fewer
// when the disk filled up (the caller waits for space and gives the rest
// again); negative after the failed write raised its error (6934).
// `label` marks label records, which are always carried when they fit.
int32_t CarryWrite(StripeHandle *h, const uint8_t *data, int32_t length,
                   bool label);

// Writes everything still carried onto the open volume, waiting for free
// space as a request would.  0, or -1 after raising the error (6934, 6937
// when no space came, or the error of the free-space query).
int32_t FlushCarry(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_DEVICE_DISK_CARRY_H_
