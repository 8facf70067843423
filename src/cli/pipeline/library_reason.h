// The reason text of a library call's message buffer, for the stripe
// threads of both pipelines.
#ifndef KORBR_CLI_LIBRARY_REASON_H_
#define KORBR_CLI_LIBRARY_REASON_H_

#include <cstring>
#include <string>

#include "korbr/korbr.h"

namespace kor {
namespace cli {

// The text the library left in `msg`, or a stand-in when it left none.
inline std::string BufferText(const MessageBuffer &msg) {
  if (msg.length <= 0) return "the library gave no reason";
  return std::string(msg.text, strnlen(msg.text, sizeof msg.text));
}

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_LIBRARY_REASON_H_
