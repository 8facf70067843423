// Text read from a backup, made safe to print.
//
// A backup's header carries text its maker chose (the database name), and
// anything read back from a volume may have been crafted: printed raw, an
// escape sequence in it would drive the operator's terminal (retitle it,
// rewrite what is on the screen).  Every byte outside printable ASCII is
// shown as \xNN, and the backslash as \\, so the shown text is unambiguous
// and the stored bytes can be read back from it.
#ifndef KORBR_CLI_PRINTABLE_TEXT_H_
#define KORBR_CLI_PRINTABLE_TEXT_H_

#include <cstdint>
#include <string>

namespace kor {
namespace cli {

// `stored` with every byte below 0x20 or above 0x7e as "\xNN" (two lower
// case hex digits) and "\" as "\\"; printable ASCII stays as it is.
std::string PrintableText(const std::string &stored);

// "1 frame", "0 frames", "2 frames": a count with its noun (one whose
// plural takes an "s") in the number it needs.
std::string Counted(uint64_t count, const std::string &noun);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_PRINTABLE_TEXT_H_
