// Block writes onto the current volume: the per-volume byte budget, tape
// blocking and disk writes that stop when the disk is full.
#ifndef KORBR_DEVICE_BLOCK_WRITE_H_
#define KORBR_DEVICE_BLOCK_WRITE_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// A disk that keeps refusing writes although the space check finds room
// (a quota, say) must end in an error, not in an endless loop: the rounds
// of waiting for space one transfer may take.
constexpr int kMaxDiskFullRounds = 100;

// One request onto the current volume.  Bytes written (length on
// success); 0 when the budget refused it (IO_CAPACITY_FULL, nothing
// written); fewer after a disk that filled up (IO_DISK_FULL); negative
// after a reported error.  Labels pass skip_check to bypass the budget.
int32_t WriteDevice(StripeHandle *h, const void *data, int32_t length,
                    bool skip_check);

// Every transfer exactly blocksize bytes; a short tail is padded.  length,
// or -1 after a reported error (a short block: 6934, IO_EOT).
int32_t WriteTapeDevice(StripeHandle *h, const void *data, int32_t length);

// The bytes as they are, taken in full unless the disk fills up: the
// bytes the volume holds so far (IO_DISK_FULL when fewer than length), or
// a negative value after a reported error.  The bytes go through the
// volume's carry (disk_carry.h); `label` marks label records.
int32_t WriteDiskDevice(StripeHandle *h, const void *data, int32_t length,
                        bool label);

// Lowers spaceleft by `count` bytes, never below zero.
void ConsumeSpace(StripeHandle *h, int64_t count);

// Waits until the volume's disk has more than reqfreekb KB free.  1 when
// writing may go on, 0 when the query failed or the host cancelled.
int32_t WaitDiskSpace(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_DEVICE_BLOCK_WRITE_H_
