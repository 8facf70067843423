#include "device/raw_transfer.h"

#include "device/device_close.h"
#include "device/io_profile.h"
#include "device/win32_error_map.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "label/label_format.h"
#include "os/os_layer.h"
#include "os/win32_codes.h"

namespace kor {

namespace {

// RawRead; `traced` false leaves out every trace line, for reads the
// library makes on its own account.
int32_t ReadOnce(StripeHandle *h, void *buffer, uint32_t length, bool traced) {
  bu_timeval start, end;
  bool start_valid = false;
  if (h->ioprof_samples != 0) start_valid = TakeTimeSample(&start);
  uint32_t done = 0, code = 0;
  if (!Os().ReadFile(h->device_handle, buffer, length, &done, &code)) {
    h->last_os_error = code;
    if (traced) TraceReadFailure(h, length);
    return MapWin32Error(code);
  }
  if (h->ioprof_samples != 0) {
    if (TakeTimeSample(&end) && start_valid) RecordIoRate(h, start, end, done);
  }
  if (traced && !IsEovRecord(buffer, done) && !IsEofRecord(buffer, done))
    TraceReadData(h, static_cast<int32_t>(done), length);
  return static_cast<int32_t>(done);
}

int32_t RepeatInterruptedRead(StripeHandle *h, void *buffer, uint32_t length,
                              bool traced) {
  int32_t result = ReadOnce(h, buffer, length, traced);
  for (int repeats = 0; result < 0 && ThreadErrorClass() == kClassInterrupted &&
                        repeats < kMaxInterruptedRepeats;
       ++repeats) {
    result = ReadOnce(h, buffer, length, traced);
  }
  return result;
}

}  // namespace

int32_t RawRead(StripeHandle *h, void *buffer, uint32_t length) {
  return ReadOnce(h, buffer, length, true);
}

void TraceReadData(StripeHandle *h, int32_t done, uint32_t length) {
  if (Traces(h, kTraceTransfer))
    TraceLine(h, "Stripe %d ReadFile OK (%d of %d) bytes\n", h->stripe,
              static_cast<int>(done), static_cast<int>(length));
}

void TraceReadFailure(StripeHandle *h, uint32_t length) {
  if (Traces(h, kTraceAnomaly))
    TraceLine(h, "Stripe %d ReadFile of %d failed LastErr %d\n", h->stripe,
              static_cast<int>(length), static_cast<int>(h->last_os_error));
}

int32_t ReadRepeatingInterrupts(StripeHandle *h, void *buffer,
                                uint32_t length) {
  return RepeatInterruptedRead(h, buffer, length, true);
}

int32_t ReadAheadQuietly(StripeHandle *h, void *buffer, uint32_t length) {
  return RepeatInterruptedRead(h, buffer, length, false);
}

int32_t ReadWithRetry(StripeHandle *h, void *buffer, uint32_t length) {
  const int32_t result = ReadRepeatingInterrupts(h, buffer, length);
  if (result < 0)
    RaiseError(h, kErrRead, {h->devname, SystemText(h->last_os_error)});
  return result;
}

namespace {

// A write that the OS refused with `code` for a transfer of `length`
// bytes: 0 when it came without a code (taken for the end of the medium),
// else -1 with the thread's error class set.
int32_t WriteRefused(StripeHandle *h, uint32_t code, uint32_t length) {
  if (Traces(h, kTraceAnomaly))
    TraceLine(h, "Stripe %d WriteFile of %d failed. lasterr %d\n", h->stripe,
              static_cast<int>(length), static_cast<int>(code));
  if (code != 0) {
    h->last_os_error = code;
    return MapWin32Error(code);
  }
  if (Traces(h, kTraceAnomaly))
    TraceLine(h, "Stripe %d assumed EOT\n", h->stripe);
  return 0;
}

// Makes one write (`attempt`, with RawWrite's results) and repeats it while
// it fails interrupted, a bounded number of times.  Bytes written; 0 when
// the disk is full or the write failed without a code; -1 after raising
// 6934.
template <typename Attempt>
int32_t RepeatInterruptedWrite(StripeHandle *h, Attempt attempt) {
  int32_t result = attempt();
  for (int repeats = 0; result < 0 && ThreadErrorClass() == kClassInterrupted &&
                        repeats < kMaxInterruptedRepeats;
       ++repeats) {
    result = attempt();
  }
  if (result < 0 && ThreadErrorClass() == kClassDiskFull) return 0;
  if (result < 0)
    RaiseError(h, kErrWrite, {h->devname, SystemText(h->last_os_error)});
  return result;
}

}  // namespace

int32_t RawWrite(StripeHandle *h, const void *buffer, uint32_t length) {
  bu_timeval start, end;
  bool start_valid = false;
  if (h->ioprof_samples != 0) start_valid = TakeTimeSample(&start);
  uint32_t done = 0, code = 0;
  if (!Os().WriteFile(h->device_handle, buffer, length, &done, &code))
    return WriteRefused(h, code, length);
  if (Traces(h, kTraceTransfer))
    TraceLine(h, "Stripe %d WriteFile OK wrote %d of %d\n", h->stripe,
              static_cast<int>(done), static_cast<int>(length));
  if (h->ioprof_samples != 0) {
    if (TakeTimeSample(&end) && start_valid) RecordIoRate(h, start, end, done);
  }
  return static_cast<int32_t>(done);
}

int32_t WriteWithRetry(StripeHandle *h, const void *buffer, uint32_t length) {
  return RepeatInterruptedWrite(h, [&] { return RawWrite(h, buffer, length); });
}

int32_t GatherWithRetry(StripeHandle *h, const ByteSlice *slices, int count,
                        uint32_t logical) {
  return RepeatInterruptedWrite(h, [&] {
    uint32_t done = 0, code = 0;
    if (!Os().WriteGather(h->device_handle, slices, count, &done, &code))
      return WriteRefused(h, code, logical);
    return static_cast<int32_t>(done);
  });
}

}  // namespace kor
