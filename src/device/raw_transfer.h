// One read or write of a caller's buffer on the open volume, tape or disk.
//
// On top of the bare OS call: time samples for I/O profiling, recognition
// of the end-of-volume record on reads, the error class of a failure (an
// interrupted transfer is repeated at once, a full disk reads as zero bytes
// written), and the error report with the system's text.
#ifndef KORBR_DEVICE_RAW_TRANSFER_H_
#define KORBR_DEVICE_RAW_TRANSFER_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Bytes read (0..length); kEovRecordSize (160) with io_status IO_AT_EOV
// when the data begins with the end-of-volume record; -1 with the thread's
// error class set.  Raises nothing.
int32_t RawRead(StripeHandle *h, void *buffer, uint32_t length);

// RawRead, repeating interrupted reads; a failure is reported (6935) before
// -1 is returned.
int32_t ReadWithRetry(StripeHandle *h, void *buffer, uint32_t length);

// Bytes written (0..length); 0 when the write failed without a system
// error code; -1 with the thread's error class set.  Raises nothing.
int32_t RawWrite(StripeHandle *h, const void *buffer, uint32_t length);

// RawWrite, repeating interrupted writes.  Bytes written; 0 when the disk
// is full or the write failed without a code; -1 after raising 6934.
int32_t WriteWithRetry(StripeHandle *h, const void *buffer, uint32_t length);

}  // namespace kor

#endif  // KORBR_DEVICE_RAW_TRANSFER_H_
