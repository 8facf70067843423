// Errors and operator messages through the host's callbacks.
//
// The callback pointers are read under the process mutex and called with
// it released: a host callback may take as long as it likes (an operator
// answering a mount request) without stalling the other stripes.
#include "diag/error_report.h"

#include <cstdio>
#include <cstring>

#include "diag/host_callbacks.h"
#include "os/os_layer.h"

namespace kor {
namespace {

// Copies at most KOR_MAX_MESSAGE_ARGS arguments; the other slots stay 0 so
// that a host reading more slots than the message has finds no garbage.
void FillArgs(KorMessageArg (&slots)[KOR_MAX_MESSAGE_ARGS],
              std::initializer_list<MsgArg> args) {
  int used = 0;
  for (const MsgArg &arg : args) {
    if (used == KOR_MAX_MESSAGE_ARGS) break;
    slots[used++] = arg.value();
  }
}

}  // namespace

void RaiseError(DiagContext *h, int32_t number,
                std::initializer_list<MsgArg> args) {
  if (h == nullptr) return;
  KorMessageArg slots[KOR_MAX_MESSAGE_ARGS] = {};
  FillArgs(slots, args);

  MessageBuffer *buffer = h->message_buffer;
  if (buffer != nullptr) {
    kor_format_string_callback format = FormatStringCallback();
    if (format != nullptr) {
      format(number, buffer->text, KOR_MESSAGE_TEXT_SIZE, slots);
    } else {
      // The host cannot word the error for us; name the number at least.
      std::snprintf(buffer->text, sizeof buffer->text, "korbr error %d",
                    static_cast<int>(number));
    }
    // The host is asked for a terminated text but not trusted to give one:
    // the length must never run past the buffer.
    if (std::memchr(buffer->text, '\0', KOR_MESSAGE_TEXT_SIZE) == nullptr) {
      buffer->text[KOR_MESSAGE_TEXT_SIZE - 1] = '\0';
    }
    buffer->length =
        static_cast<int32_t>(strnlen(buffer->text, KOR_MESSAGE_TEXT_SIZE));
  }
  h->last_error = number;
}

void PostInfo(DiagContext * /*h*/, int32_t number,
              std::initializer_list<MsgArg> args) {
  kor_info_callback info = InfoCallback();
  if (info == nullptr) return;
  KorMessageArg slots[KOR_MAX_MESSAGE_ARGS] = {};
  FillArgs(slots, args);
  InfoRecord record;
  std::memset(&record, 0, sizeof record);
  record.number = static_cast<uint32_t>(number);
  // The host defines the meaning of the constant 2; it has always been 2.
  info(number, slots, 2, &record);
}

std::string SystemText(uint32_t code) { return Os().SystemErrorText(code); }

}  // namespace kor
