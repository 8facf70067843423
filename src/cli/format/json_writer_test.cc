#include "cli/format/json_writer.h"

#include <gtest/gtest.h>

namespace kor {
namespace cli {
namespace {

TEST(JsonString, EscapesWhatJsonForbidsAndKeepsWellFormedUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("x\ny\t\x01\x1f\x7f", 7), "\"x\\ny\\t\\u0001\\u001f\\u007f\""},
      {std::string("nul\0end", 7), "\"nul\\u0000end\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      // Latin-1, a cut sequence, an overlong '/', a surrogate.
      {"caf\xe9", "\"caf\\ufffd\""},
      {"a\xe2\x82", "\"a\\ufffd\\ufffd\""},
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
  };
  for (const auto &c : cases) EXPECT_EQ(c.out, JsonString(c.in)) << c.in;
}

}  // namespace
}  // namespace cli
}  // namespace kor
