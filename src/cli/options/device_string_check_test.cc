// korbr's device string check on what the library would silently misread:
// numbers its 32-bit fields cannot hold, and a stripe given two names.
// (The other refusals are run end to end in tests/cli/cli_test.sh.)
#include "cli/options/device_string_check.h"

#include <gtest/gtest.h>

#include <string>

namespace kor {
namespace cli {
namespace {

TEST(DeviceStringCheckTest, RefusesWhatTheLibraryCannotHold) {
  const std::string base = "devname=/bk/s0;dbtype=ZDBn;";
  struct Case {
    std::string pairs;
    const char *why;  // "" when accepted
  };
  const Case cases[] = {
      {"capacity=2147483647", ""},
      {"capacity=0", ""},  // the library's smallest volume, with a note
      {"capacity=2147483648",
       "capacity=2147483648 is more than the library can hold (at most "
       "2147483647 KB)"},
      {"capacity=4294967296",
       "capacity=4294967296 is more than the library can hold (at most "
       "2147483647 KB)"},
      {"CAPACITY=99999999999999999999",
       "capacity=99999999999999999999 is more than the library can hold"},
      {"reqfreekb=4294967295", ""},  // an unsigned field
      {"reqfreekb=4294967296", "reqfreekb=4294967296 is more than"},
      {"stacker=2147483648", "stacker=2147483648 is more than"},
      {"devname=/bk/t0", "devname= is given twice"},
      {"DevName=", "devname= is given twice"},
  };
  for (const Case &c : cases) {
    std::string why;
    const bool accepted = CheckDeviceString(base + c.pairs, &why);
    EXPECT_EQ(*c.why == '\0', accepted) << c.pairs << ": " << why;
    EXPECT_EQ(0u, why.find(c.why)) << c.pairs << ": " << why;
  }
}

// The library's rules, applied as the library applies them: blocksize is
// checked for tape stripes only, and its grammar glues a piece without '='
// to the key after it.
TEST(DeviceStringCheckTest, FollowsTheLibrarysRules) {
  struct Case {
    std::string devstring;
    const char *why;  // "" when accepted
  };
  const std::string tape = "devname=\\\\.\\TAPE0;dbtype=ZDBn";
  const std::string disk = "devname=/bk/s0;dbtype=ZDBn";
  const Case cases[] = {
      {disk + ";blocksize=20000000", ""},
      {disk + ";blocksize=100", ""},
      {disk + ";blocksize=64k", "blocksize=64k is not a decimal number"},
      {tape, ""},
      {tape + ";blocksize=161", ""},
      {tape + ";blocksize=16777215", ""},
      {tape + ";blocksize=160", "blocksize=160 is outside 161 to 16777215"},
      {tape + ";blocksize=20000000", "blocksize=20000000 is outside"},
      {"devname=/bk/s0;;dbtype=ZDBn", "an empty piece"},
      {disk + ";;", ""},
      {"devname=/bk/s0;junk;dbtype=ZDBn", "'junk' is not key=value"},
      {disk + ";averyveryverylongkey=1", "unknown key 'averyveryverylongkey'"},
  };
  for (const Case &c : cases) {
    std::string why;
    const bool accepted = CheckDeviceString(c.devstring, &why);
    EXPECT_EQ(*c.why == '\0', accepted) << c.devstring << ": " << why;
    EXPECT_EQ(0u, why.find(c.why)) << c.devstring << ": " << why;
  }
}

}  // namespace
}  // namespace cli
}  // namespace kor
