// What all handles share: the registry of live handles, the three host
// callback slots and the trace memory, guarded by one process-wide mutex.
// Host callbacks are read under the mutex and called outside it.
#ifndef KORBR_API_PROCESS_STATE_H_
#define KORBR_API_PROCESS_STATE_H_

#include <mutex>

#include "api/stripe_handle.h"
#include "korbr/korbr.h"

namespace kor {

// The process-wide mutex.  Never held while a host callback or the OS is
// called, except for the trace output, which must stay in line order.
std::mutex &ProcessMutex();

// Host callbacks; null when the host registered none.
void SetFormatStringCallback(kor_format_string_callback callback);
void SetInfoCallback(kor_info_callback callback);
void SetCancelledCallback(kor_cancelled_callback callback);
kor_format_string_callback FormatStringCallback();
kor_info_callback InfoCallback();
kor_cancelled_callback CancelledCallback();

// The registry of live handles, in the order they were opened.
void LinkHandle(StripeHandle *h);    // appends at the tail
void UnlinkHandle(StripeHandle *h);  // no effect when not linked
bool IsLiveHandle(const void *h);    // h is in the registry
// The number of live handles (for tests and diagnostics).
int LiveHandleCount();
// The live handles in registry order, copied into `out` (at most `max`).
int LiveHandles(StripeHandle **out, int max);

}  // namespace kor

#endif  // KORBR_API_PROCESS_STATE_H_
