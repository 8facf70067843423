// The words for the library's message numbers.  The library reports every
// failure and operator message as a number and up to sixteen argument
// slots; the host owns the texts.  Every argument of these messages is a
// pointer to text (volume numbers and capacities arrive as decimal text);
// slots the library did not fill are null.
//
// Formatting is safe whatever the arguments hold: the format strings are
// this file's own constants, arguments are only ever inserted through "%s",
// control characters in them are shown as '?', each is cut at 512 bytes,
// and the result always fits the given buffer (cut if need be).
#ifndef KORBR_CLI_MESSAGE_TEXTS_H_
#define KORBR_CLI_MESSAGE_TEXTS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "korbr/korbr.h"

namespace kor {
namespace cli {

// Writes the NUL-terminated text of message `number` into `text` (`size`
// bytes, at least 1): the words, the arguments and " (korbr NUMBER)".
// Missing arguments are shown as "?"; an unknown number still gets a text.
void FormatMessageText(int32_t number, const KorMessageArg *args, char *text,
                       size_t size);
std::string MessageText(int32_t number, const KorMessageArg *args);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_MESSAGE_TEXTS_H_
