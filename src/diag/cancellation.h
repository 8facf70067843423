// The host's cancellation and the waits it can end.
#ifndef KORBR_DIAG_CANCELLATION_H_
#define KORBR_DIAG_CANCELLATION_H_

#include <cstdint>

namespace kor {

// Asks the host's cancelled callback; false when the host registered none.
bool HostCancelled();

// Waits `seconds` one-second steps, asking the host before each step.
// 0 when the whole wait ran, -1 as soon as the host cancels.
int32_t SleepInterruptible(uint32_t seconds);

}  // namespace kor

#endif  // KORBR_DIAG_CANCELLATION_H_
