// Stored text as korbr prints it: no byte that could drive a terminal gets
// through, and the escaping cannot be confused with the text.
#include "cli/format/printable_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kor {
namespace cli {
namespace {

TEST(PrintableTextTest, EscapesEveryByteOutsidePrintableAscii) {
  struct Case {
    std::string stored;
    std::string shown;
  };
  const Case cases[] = {
      {"sales 2024-01_A~", "sales 2024-01_A~"},
      {"\x1b]0;pwn\a", "\\x1b]0;pwn\\x07"},  // retitles an xterm
      {"a\nb\rc\td", "a\\x0ab\\x0dc\\x09d"},
      {"\x7f", "\\x7f"},
      {"\x9b" "2J", "\\x9b2J"},     // the one-byte CSI of 8-bit terminals
      {"caf\xc3\xa9", "caf\\xc3\\xa9"},  // non-ASCII, byte by byte
      {"a\\x1b", "a\\\\x1b"},  // a backslash cannot forge an escape
      {std::string("a\0b", 3), "a\\x00b"},
      {"", ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.shown, PrintableText(c.stored)) << c.shown;
  }
}

}  // namespace
}  // namespace cli
}  // namespace kor
