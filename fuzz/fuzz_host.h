// What the fuzz targets share: a host that registers the three callbacks,
// words every error into the caller's buffer, and cancels any wait after a
// few polls, so that a device that never becomes ready ends the input
// instead of spinning through virtual time; and a check that nothing the
// library opened outlives the input.
#ifndef KORBR_FUZZ_FUZZ_HOST_H_
#define KORBR_FUZZ_FUZZ_HOST_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/process_state.h"
#include "korbr/korbr.h"
#include "os/fake_os.h"
#include "support/message_catalog.h"

namespace korfuzz {

// Polls answered "go on" before the host cancels.
constexpr int kPatience = 3;

inline int &Polls() {
  static int polls = 0;
  return polls;
}

// Reads every text argument whole, as a host does: a dangling or
// unterminated text is a finding for the address sanitizer.
inline size_t TouchArguments(int32_t number, const KorMessageArg *args) {
  size_t total = 0;
  const int count = kor::testkit::MessageArgumentCount(number);
  for (int i = 0; args != nullptr && i < count; ++i) {
    const char *text = reinterpret_cast<const char *>(args[i]);
    if (text != nullptr) total += std::strlen(text);
  }
  return total;
}

inline void KOR_CALL FormatCallback(int32_t number, char *text, int32_t size,
                                    KorMessageArg *args) {
  const size_t length = TouchArguments(number, args);
  if (text != nullptr && size > 0)
    std::snprintf(text, static_cast<size_t>(size), "%d (%zu)", number, length);
}

inline void KOR_CALL InfoCallback(int32_t number, KorMessageArg *args, int32_t,
                                  void *) {
  TouchArguments(number, args);
}

inline int32_t KOR_CALL CancelledCallback() {
  return ++Polls() > kPatience ? 1 : 0;
}

// Registers the callbacks (once) and gives the input a fresh patience.
inline void StartInput() {
  static bool registered = false;
  if (!registered) {
    kor_register_format_string(&FormatCallback);
    kor_register_info_callback(&InfoCallback);
    kor_register_cancelled(&CancelledCallback);
    registered = true;
  }
  Polls() = 0;
}

// Stops the fuzzer with a finding when a handle or an OS handle outlived
// the calls that should have released it.
inline void CheckReleased(const kor::FakeOs &os, const char *when) {
  if (kor::LiveHandleCount() != 0 || os.OpenHandleCount() != 0) {
    std::fprintf(stderr, "%s: %d library handle(s), %d OS handle(s) left\n",
                 when, kor::LiveHandleCount(), os.OpenHandleCount());
    std::abort();
  }
}

}  // namespace korfuzz

#endif  // KORBR_FUZZ_FUZZ_HOST_H_
