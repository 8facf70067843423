#include "os/objstore/transfer_waits.h"

#include <chrono>
#include <thread>

#include "os/cancel_probe.h"

namespace kor {

RetryWait CallerRetryWait() {
  return [](uint32_t milliseconds) {
    constexpr uint32_t kStep = 50;
    for (uint32_t waited = 0; waited < milliseconds; waited += kStep) {
      if (CancelRequested()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(kStep));
    }
    return !CancelRequested();
  };
}

StopCheck CallerStopCheck() {
  return [] { return CancelRequested(); };
}

RetryWait WorkerRetryWait(std::mutex *mu, std::condition_variable *changed,
                          const std::atomic<bool> *abandoned) {
  return [mu, changed, abandoned](uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(*mu);
    return !changed->wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [abandoned] { return abandoned->load(); });
  };
}

StopCheck WorkerStopCheck(const std::atomic<bool> *abandoned) {
  return [abandoned] { return abandoned->load(); };
}

}  // namespace kor
