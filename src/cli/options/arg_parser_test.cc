// The argument parser on the command lines korbr's commands accept and
// refuse: long and short options with attached or separate values,
// repeated options, flags, "--" and "-" as operands, and the number
// formats of --stripes and --request-size.
#include "cli/options/arg_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kor {
namespace cli {
namespace {

const std::vector<OptionSpec> kSpecs = {
    {"device", 'd', true, true, "DEVSTRING", "device"},
    {"stripes", 's', true, false, "N", "stripes"},
    {"quiet", 'q', false, false, nullptr, "quiet"},
    {"help", 'h', false, false, nullptr, "help"},
};

// Parses the words; returns the error ("" on success).
std::string Parse(std::vector<std::string> words, ParsedArgs *parsed) {
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  std::string error;
  if (ParseArgs(kSpecs, static_cast<int>(argv.size()), argv.data(), parsed,
                &error)) {
    return "";
  }
  EXPECT_FALSE(error.empty());
  return error;
}

TEST(ArgParserTest, OptionsValuesAndOperands) {
  ParsedArgs p;
  ASSERT_EQ(Parse({"--device", "a{stripe}", "-s", "3", "-q", "in.dump"}, &p),
            "");
  EXPECT_EQ(p.Values("device"), std::vector<std::string>{"a{stripe}"});
  EXPECT_EQ(p.Value("stripes"), "3");
  EXPECT_TRUE(p.Has("quiet"));
  EXPECT_FALSE(p.Has("help"));
  EXPECT_EQ(p.operands(), std::vector<std::string>{"in.dump"});

  // Attached values, repeated --device in order, "-" as an operand.
  ASSERT_EQ(Parse({"--device=x;y=z", "-dsecond", "-s4", "-"}, &p), "");
  EXPECT_EQ(p.Values("device"), (std::vector<std::string>{"x;y=z", "second"}));
  EXPECT_EQ(p.Value("stripes"), "4");
  EXPECT_EQ(p.operands(), std::vector<std::string>{"-"});

  // After "--" everything is an operand, even what looks like an option.
  ASSERT_EQ(Parse({"-q", "--", "--device", "-s"}, &p), "");
  EXPECT_EQ(p.operands(), (std::vector<std::string>{"--device", "-s"}));
  EXPECT_FALSE(p.Has("device"));

  // A value may itself begin with a dash when it is a separate word.
  ASSERT_EQ(Parse({"--device", "-odd"}, &p), "");
  EXPECT_EQ(p.Value("device"), "-odd");
}

TEST(ArgParserTest, MistakesAreNamed) {
  ParsedArgs p;
  EXPECT_EQ(Parse({"--frob"}, &p), "unknown option --frob");
  EXPECT_EQ(Parse({"-x"}, &p), "unknown option -x");
  EXPECT_EQ(Parse({"--stripes"}, &p), "option --stripes needs a value");
  EXPECT_EQ(Parse({"--quiet=yes"}, &p), "option --quiet takes no value");
  EXPECT_EQ(Parse({"-s", "2", "--stripes", "3"}, &p),
            "option --stripes given more than once");
}

TEST(ArgParserTest, HelpListsEveryOption) {
  const std::string help = OptionsHelp(kSpecs);
  EXPECT_NE(help.find("-d, --device DEVSTRING"), std::string::npos) << help;
  EXPECT_NE(help.find("-s, --stripes N"), std::string::npos) << help;
  EXPECT_NE(help.find("-q, --quiet"), std::string::npos) << help;
  EXPECT_NE(help.find("-h, --help"), std::string::npos) << help;
}

TEST(ArgParserTest, ByteSizes) {
  uint64_t v = 0;
  EXPECT_TRUE(ParseByteSize("65536", &v));
  EXPECT_EQ(v, 65536u);
  EXPECT_TRUE(ParseByteSize("64K", &v));
  EXPECT_EQ(v, 65536u);
  EXPECT_TRUE(ParseByteSize("64kib", &v));
  EXPECT_EQ(v, 65536u);
  EXPECT_TRUE(ParseByteSize("16M", &v));
  EXPECT_EQ(v, 16u << 20);
  EXPECT_TRUE(ParseByteSize("2G", &v));
  EXPECT_EQ(v, uint64_t{2} << 30);
  for (const char *bad : {"", "K", "-1", "+5", " 5", "5 ", "5X", "1.5M", "0x10",
                          "99999999999999999999", "9999999999999G"}) {
    EXPECT_FALSE(ParseByteSize(bad, &v)) << bad;
  }
}

TEST(ArgParserTest, Counts) {
  uint64_t v = 0;
  EXPECT_TRUE(ParseCount("1", 1, 32, &v));
  EXPECT_EQ(v, 1u);
  EXPECT_TRUE(ParseCount("32", 1, 32, &v));
  EXPECT_EQ(v, 32u);
  for (const char *bad : {"0", "33", "", "-1", "4a", "3.0", " 3"}) {
    EXPECT_FALSE(ParseCount(bad, 1, 32, &v)) << bad;
  }
}

}  // namespace
}  // namespace cli
}  // namespace kor
