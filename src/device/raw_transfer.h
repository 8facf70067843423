// One read or write of a caller's buffer on the open volume, tape or disk.
//
// On top of the bare OS call: time samples for I/O profiling, the error
// class of a failure (an interrupted transfer is repeated at once, a full
// disk reads as zero bytes written), and the error report with the
// system's text.  Whether a read that begins with a trailer record
// (EOV1+EOV2, EOF1+EOF2) ends the volume is not decided here: only the
// block read path knows where on the volume the read lies (block_read.h).
#ifndef KORBR_DEVICE_RAW_TRANSFER_H_
#define KORBR_DEVICE_RAW_TRANSFER_H_

#include <cstdint>

#include "core/stripe_handle.h"
#include "os/os_layer.h"

namespace kor {

// Bytes read (0..length); -1 with the thread's error class set and
// last_os_error the code.  Raises nothing.  A read whose data begins with a
// trailer record is not traced as a transfer: its caller traces it once it
// knows what it is (TraceReadData, or the end of the volume).
int32_t RawRead(StripeHandle *h, void *buffer, uint32_t length);

// RawRead, repeating interrupted reads (a bounded number of times).  Raises
// nothing.
int32_t ReadRepeatingInterrupts(StripeHandle *h, void *buffer,
                                uint32_t length);

// ReadRepeatingInterrupts; a failure is reported (6935) before -1 is
// returned.
int32_t ReadWithRetry(StripeHandle *h, void *buffer, uint32_t length);

// ReadRepeatingInterrupts without a trace line, success or failure: a
// read the library makes on its own account (the tape look-ahead), which
// the trace does not show as such.  Its caller traces what the read turns
// out to be, if anything (TraceReadData, TraceReadFailure).  Raises
// nothing; profiled like any read.
int32_t ReadAheadQuietly(StripeHandle *h, void *buffer, uint32_t length);

// The transfer trace of a read found to be data ("ReadFile OK").
void TraceReadData(StripeHandle *h, int32_t done, uint32_t length);

// The anomaly trace of a failed read of `length` bytes, with last_os_error.
void TraceReadFailure(StripeHandle *h, uint32_t length);

// Bytes written (0..length); 0 when the write failed without a system
// error code; -1 with the thread's error class set.  Raises nothing.
int32_t RawWrite(StripeHandle *h, const void *buffer, uint32_t length);

// RawWrite, repeating interrupted writes.  Bytes written; 0 when the disk
// is full or the write failed without a code; -1 after raising 6934.
int32_t WriteWithRetry(StripeHandle *h, const void *buffer, uint32_t length);

// One gathered write of the slices (the OS's WriteGather), with
// WriteWithRetry's repeats and results.  Neither traced as a transfer nor
// profiled: its caller does that for the transfer it carries.  `logical`
// is the length the anomaly trace names, the bytes of that transfer.
int32_t GatherWithRetry(StripeHandle *h, const ByteSlice *slices, int count,
                        uint32_t logical);

}  // namespace kor

#endif  // KORBR_DEVICE_RAW_TRANSFER_H_
