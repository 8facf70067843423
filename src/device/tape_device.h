// Tape drives: bringing the drive of a stripe into a usable state.
//
// OpenTapeDev keeps trying until the drive is ready or the host cancels:
// a drive without a cartridge (or one that cannot be opened) is tried again
// every 10 seconds.  A ready drive gets the stripe's block size; a backup
// also needs a writable cartridge, and a protected one is handed back to
// the operator (attended, retried after 100 seconds) or fails the open.
#ifndef KORBR_DEVICE_TAPE_DEVICE_H_
#define KORBR_DEVICE_TAPE_DEVICE_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Results of QueryTapeStatus.
constexpr uint8_t kTapeReady = 0;
constexpr uint8_t kTapeNotReady = 1;
// Results of QueryWriteProtect.
constexpr uint8_t kTapeProtected = 2;
constexpr uint8_t kTapeWritable = 3;
constexpr uint8_t kTapeQueryFailed = 4;

// Opens the stripe's tape drive for a restore (mode 0) or a backup (mode
// 1).  0 ready for use with device_handle open; -1 after raising an error
// (the device may still be open: callers close it with CloseDevice).
int32_t OpenTapeDev(StripeHandle *h, int32_t mode);

// kTapeReady when a device is open and reports no error, else kTapeNotReady.
uint8_t QueryTapeStatus(StripeHandle *h);

// kTapeProtected / kTapeWritable, or kTapeQueryFailed after raising 6927.
uint8_t QueryWriteProtect(StripeHandle *h);

// Checks blocksize against the drive's limits and sets it.  0, or -1 after
// raising 6926, 6925, 6928 or 6927.
int32_t SetTapeBlockSize(StripeHandle *h);

// Writes the media and drive parameters to the trace (bit 0x20).
void TraceTapeInfo(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_DEVICE_TAPE_DEVICE_H_
