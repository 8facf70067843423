// Errors and operator messages as message numbers with arguments, delivered
// through the host's callbacks.
//
// RaiseError has the host's format-string callback write the text into the
// handle's current message buffer, stores its length, and makes the number
// the handle's last_error.  PostInfo hands an operator message to the info
// callback.  Neither stores anything else, and neither can fail: a callback
// the host never registered is skipped (an error then gets a short text of
// the library's own that names the number).
#ifndef KORBR_DIAG_ERROR_REPORT_H_
#define KORBR_DIAG_ERROR_REPORT_H_

#include <cstdint>
#include <initializer_list>
#include <string>

#include "diag/diag_context.h"
#include "rules/message_numbers.h"  // kErr*, kMsg*

namespace kor {

// One message argument: an integer or a text (valid during the call).
class MsgArg {
 public:
  MsgArg(int32_t value) : value_(static_cast<KorMessageArg>(value)) {}
  MsgArg(const char *text) : value_(reinterpret_cast<KorMessageArg>(text)) {}
  MsgArg(const std::string &text)
      : value_(reinterpret_cast<KorMessageArg>(text.c_str())) {}
  KorMessageArg value() const { return value_; }

 private:
  KorMessageArg value_;
};

// Raises error `number` on the handle with the given arguments (at most 16
// are passed on).
void RaiseError(DiagContext *h, int32_t number,
                std::initializer_list<MsgArg> args = {});

// Sends operator message `number` with the given arguments (at most 16).
void PostInfo(DiagContext *h, int32_t number,
              std::initializer_list<MsgArg> args = {});

// The platform's text for a Win32 code, as passed in message arguments.
std::string SystemText(uint32_t code);

}  // namespace kor

#endif  // KORBR_DIAG_ERROR_REPORT_H_
