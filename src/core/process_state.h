// The registry of live handles, guarded by the process-wide mutex
// (diag/host_callbacks.h), which also guards the host callback slots and
// the trace memory.
#ifndef KORBR_CORE_PROCESS_STATE_H_
#define KORBR_CORE_PROCESS_STATE_H_

#include "core/stripe_handle.h"

namespace kor {

// The registry of live handles.
void LinkHandle(StripeHandle *h);    // appends at the tail
void UnlinkHandle(StripeHandle *h);  // no effect when not linked
bool IsLiveHandle(const void *h);    // h is in the registry
// The number of live handles (for tests and diagnostics).
int LiveHandleCount();

}  // namespace kor

#endif  // KORBR_CORE_PROCESS_STATE_H_
