// Cancellation polls and the one-second waits the host can end.
#include "diag/cancellation.h"

#include "diag/host_callbacks.h"
#include "os/os_layer.h"

namespace kor {

bool HostCancelled() {
  // A host that registered no callback never cancels.
  kor_cancelled_callback cancelled = CancelledCallback();
  return cancelled != nullptr && cancelled() != 0;
}

int32_t SleepInterruptible(uint32_t seconds) {
  // Poll before each step, not after the last: a cancel arriving in the
  // final second is seen by the caller's next check.
  for (uint32_t step = 0; step < seconds; ++step) {
    if (HostCancelled()) return -1;
    Os().Sleep(1000);
  }
  return 0;
}

}  // namespace kor
