#include "cli/format/backup_sets.h"

#include <gtest/gtest.h>

namespace kor {
namespace cli {
namespace {

TEST(SplitVolumeName, TakesOnlyVolumeNumbersAfterTheLastDot) {
  const struct {
    const char *name;
    bool ok;
    const char *prefix;
    int volume;
  } cases[] = {
      {"sales.s0.1", true, "sales.s0", 1},
      {"sales.s12.9999", true, "sales.s12", 9999},
      {"sales.s0.01", false, "", 0},     // not how a volume is named
      {"sales.s0.10000", false, "", 0},  // past the last volume number
      {"sales.s0.1x", false, "", 0},
      {"sales.s0.", false, "", 0},
      {".1", false, "", 0},
      {"notes.txt", false, "", 0},
  };
  for (const auto &c : cases) {
    std::string prefix;
    int volume = 0;
    EXPECT_EQ(c.ok, SplitVolumeName(c.name, &prefix, &volume)) << c.name;
    if (c.ok) {
      EXPECT_EQ(c.prefix, prefix) << c.name;
      EXPECT_EQ(c.volume, volume) << c.name;
    }
  }
}

TEST(SetName, PutsStripeWhereTheStripeNumbersStand) {
  std::vector<std::string> eleven;
  for (int i = 0; i <= 11; ++i) eleven.push_back("/b/s" + std::to_string(i) + ".db");
  const struct {
    std::vector<std::string> prefixes;
    std::string name;
  } cases[] = {
      {{"/b/sales.s0"}, "/b/sales.s0"},
      {{"/b/sales.s0", "/b/sales.s1"}, "/b/sales.s{stripe}"},
      {{"/b/0/x", "/b/1/x"}, "/b/{stripe}/x"},
      {eleven, "/b/s{stripe}.db"},
      // Numbers that are not the stripes' own.
      {{"/b/a1", "/b/a2"}, "/b/a1, /b/a2"},
      {{"/b/a", "/c/b"}, "/b/a, /c/b"},
  };
  for (const auto &c : cases) EXPECT_EQ(c.name, SetName(c.prefixes));
}

}  // namespace
}  // namespace cli
}  // namespace kor
