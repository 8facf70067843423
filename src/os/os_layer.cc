#include "os/os_layer.h"

#include <atomic>

namespace kor {
namespace {
std::atomic<OsLayer *> g_installed{nullptr};
}  // namespace

OsLayer &Os() {
  OsLayer *layer = g_installed.load(std::memory_order_acquire);
  return layer != nullptr ? *layer : PlatformOs();
}

OsLayer *SetOsLayerForTesting(OsLayer *layer) {
  OsLayer *previous = g_installed.exchange(layer, std::memory_order_acq_rel);
  return previous;
}

}  // namespace kor
