// The library's environment variables as korbr lets them through: what
// the library would silently read as another number is refused by name.
#include "cli/options/environment_check.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace kor {
namespace cli {
namespace {

TEST(EnvironmentCheckTest, RefusesValuesTheLibraryWouldMisread) {
  struct Case {
    const char *name;
    const char *value;
    bool accepted;
  };
  const Case cases[] = {
      {"KORDBG", "0", true},          {"KORDBG", "255", true},
      {"KORDBG", "-1", true},         {"KORDBG", "0x40", false},
      {"KORDBG", "64k", false},       {"KORDBG", "256", false},
      {"KORDBG", "", false},          {"KORDBG", " 64", false},
      {"KORDBG", "-2", false},        {"KORIOPROF", "0", true},
      {"KORIOPROF", "1000000", true}, {"KORIOPROF", "1000001", false},
      {"KORIOPROF", "lots", false},   {"KORIOPROF", "4294967301", false},
      {"KOR_S3_RETRIES", "20", true}, {"KOR_S3_RETRIES", "", true},
      {"KOR_S3_RETRIES", "21", false}, {"KOR_S3_RETRIES", "3x", false},
  };
  for (const Case &c : cases) {
    const std::map<std::string, std::string> environment = {{c.name, c.value}};
    std::string why;
    const bool accepted = CheckLibraryEnvironment(
        [&](const char *name) -> const char * {
          auto it = environment.find(name);
          return it == environment.end() ? nullptr : it->second.c_str();
        },
        &why);
    EXPECT_EQ(c.accepted, accepted) << c.name << "='" << c.value << "'";
    if (!c.accepted) {
      EXPECT_EQ(0u, why.find(std::string(c.name) + "='" + c.value + "'"))
          << why;
    }
  }
  std::string why;
  EXPECT_TRUE(CheckLibraryEnvironment(
      [](const char *) -> const char * { return nullptr; }, &why));
}

}  // namespace
}  // namespace cli
}  // namespace kor
