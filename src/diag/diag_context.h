// What diagnostics need to know about the stripe that raises them: its
// number (trace lines begin "Stripe %d"), its trace mask, the caller's
// message buffer of the current call and the last error number raised.
//
// The stripe handle (core/stripe_handle.h) begins with this record, so
// every layer passes its handle to RaiseError and TraceLine as it is while
// diagnostics stay below the handle and never see the rest of it.
#ifndef KORBR_DIAG_DIAG_CONTEXT_H_
#define KORBR_DIAG_DIAG_CONTEXT_H_

#include <cstdint>

#include "korbr/korbr.h"

namespace kor {

// Trace families: each trace statement tests one bit of trace_mask.
constexpr int32_t kTraceTransfer = 0x01;   // every successful read and write
constexpr int32_t kTraceProfile = 0x02;    // I/O statistics lines
constexpr int32_t kTraceCancel = 0x04;     // cancellation seen
constexpr int32_t kTraceTape = 0x08;       // tape device operations
constexpr int32_t kTraceDisk = 0x10;       // disk device open
constexpr int32_t kTraceTapeInfo = 0x20;   // tape parameter dump
constexpr int32_t kTraceVolume = 0x40;     // volume and device life cycle
constexpr int32_t kTraceAnomaly = 0x80;    // data-path anomalies
constexpr int32_t kDefaultTraceMask = 0xfc;

struct DiagContext {
  int32_t stripe;                 // 0..31
  int32_t trace_mask;             // trace families to print
  MessageBuffer *message_buffer;  // the caller's buffer of the current call
  int32_t last_error;             // last error number raised; never reset
};

// True when trace family `bit` is selected.
inline bool Traces(const DiagContext *d, int32_t bit) {
  return (d->trace_mask & bit) != 0;
}

}  // namespace kor

#endif  // KORBR_DIAG_DIAG_CONTEXT_H_
