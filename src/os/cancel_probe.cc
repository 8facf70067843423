#include "os/cancel_probe.h"

#include <atomic>

namespace kor {
namespace {
std::atomic<CancelProbe> g_probe{nullptr};
}  // namespace

void SetCancelProbe(CancelProbe probe) {
  g_probe.store(probe, std::memory_order_release);
}

bool CancelRequested() {
  const CancelProbe probe = g_probe.load(std::memory_order_acquire);
  return probe != nullptr && probe();
}

}  // namespace kor
