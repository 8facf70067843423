// The host's three callback slots and the one process-wide mutex.
//
// The mutex guards everything handles share: these slots, the trace
// memory (trace_log.cc) and the handle registry (core/process_state.h).
// Callbacks are read under it and called with it released.
#ifndef KORBR_DIAG_HOST_CALLBACKS_H_
#define KORBR_DIAG_HOST_CALLBACKS_H_

#include <mutex>

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

}  // namespace kor

#endif  // KORBR_DIAG_HOST_CALLBACKS_H_
