// The host callback slots, behind the process mutex.
#include "diag/host_callbacks.h"

#include "diag/cancellation.h"
#include "os/cancel_probe.h"

namespace kor {
namespace {

kor_format_string_callback g_format_string_callback = nullptr;
kor_info_callback g_info_callback = nullptr;
kor_cancelled_callback g_cancelled_callback = nullptr;

}  // namespace

std::mutex &ProcessMutex() {
  // Function-local so that it exists before any static initialiser of
  // another translation unit could use it.
  static std::mutex mutex;
  return mutex;
}

void SetFormatStringCallback(kor_format_string_callback callback) {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  g_format_string_callback = callback;
}

void SetInfoCallback(kor_info_callback callback) {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  g_info_callback = callback;
}

void SetCancelledCallback(kor_cancelled_callback callback) {
  {
    std::lock_guard<std::mutex> lock(ProcessMutex());
    g_cancelled_callback = callback;
  }
  // The OS layer's own waits (retries of network requests) ask the host
  // through the same callback.
  SetCancelProbe(&HostCancelled);
}

kor_format_string_callback FormatStringCallback() {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  return g_format_string_callback;
}

kor_info_callback InfoCallback() {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  return g_info_callback;
}

kor_cancelled_callback CancelledCallback() {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  return g_cancelled_callback;
}

}  // namespace kor
