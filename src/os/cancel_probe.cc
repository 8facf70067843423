#include "os/cancel_probe.h"

#include <atomic>

namespace kor {
namespace {
std::atomic<CancelProbe> g_probe{nullptr};
}  // namespace

CancelProbe SetCancelProbe(CancelProbe probe) {
  return g_probe.exchange(probe, std::memory_order_acq_rel);
}

bool CancelRequested() {
  const CancelProbe probe = g_probe.load(std::memory_order_acquire);
  return probe != nullptr && probe();
}

}  // namespace kor
