// Library callbacks: the trampolines from the library's C callbacks to
// the live session.
#include "cli/session/library_callbacks.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "cli/session/interrupts.h"
#include "cli/session/message_texts.h"

namespace kor {
namespace cli {
namespace {

// The callbacks' target: the single registration point (see the header).
std::atomic<LibraryListener *> g_listener{nullptr};

void KOR_CALL FormatStringCallback(int32_t number, char *text, int32_t size,
                                   KorMessageArg *args) {
  if (text == nullptr || size <= 0) return;
  FormatMessageText(number, args, text, static_cast<size_t>(size));
}

void KOR_CALL InfoCallback(int32_t number, KorMessageArg *args, int32_t,
                           void *) {
  LibraryListener *listener = g_listener.load();
  if (listener != nullptr) listener->OnInfo(number, args);
}

int32_t KOR_CALL CancelledCallback() {
  if (Interrupted()) return 1;
  LibraryListener *listener = g_listener.load();
  return listener != nullptr && listener->GaveUp() ? 1 : 0;
}

}  // namespace

bool ConnectLibrary(LibraryListener *listener, std::string *error) {
  g_listener.store(listener);
  ApiInfo api;
  std::memset(&api, 0, sizeof api);
  kor_queryapi(&api);
  if ((api.version >> 16) != 1) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "the loaded libkorbr has interface version %08x; korbr "
                  "needs 0001xxxx",
                  static_cast<unsigned>(api.version));
    *error = text;
    return false;
  }
  kor_register_format_string(FormatStringCallback);
  kor_register_info_callback(InfoCallback);
  kor_register_cancelled(CancelledCallback);
  return true;
}

void DisconnectLibrary(LibraryListener *listener) {
  LibraryListener *expected = listener;
  g_listener.compare_exchange_strong(expected, nullptr);
}

}  // namespace cli
}  // namespace kor
