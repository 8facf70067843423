// Tests of the trace log and of the integer reading it shares with the
// environment settings.
//
// Strategy: the fake OS layer captures every line written, so a test
// produces lines through TraceLine and compares the captured output with
// what an operator should see.  The trace memory is process-wide, so each
// test starts from ResetTraceMemoryForTesting.  ParseDecimalInt is checked
// against the atoi-like reading the environment variables document,
// including wrap-around where atoi itself would be undefined.
#include "diag/trace_log.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "os/fake_os.h"

namespace kor {
namespace {

class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTraceMemoryForTesting();
    a_ = DiagContext{1, kDefaultTraceMask, nullptr, 0};
    b_ = DiagContext{2, kDefaultTraceMask, nullptr, 0};
  }
  std::vector<std::string> Lines() { return fake_->TraceLines(); }

  ScopedFakeOs fake_;
  DiagContext a_;
  DiagContext b_;
};

TEST_F(TraceLogTest, RepeatsAreCountedAcrossHandles) {
  for (int i = 0; i < 5; ++i) {
    // The filter looks at the text only, whichever handle produced it.
    TraceLine(i % 2 == 0 ? &a_ : &b_, "Stripe %d at EOV\n", 7);
  }
  TraceLine(&b_, "Stripe %d close OK\n", 2);
  EXPECT_EQ((std::vector<std::string>{"Stripe 7 at EOV\n",
                                      "Previous message repeated 4 times\n",
                                      "Stripe 2 close OK\n"}),
            Lines());
}

TEST_F(TraceLogTest, CountRestartsAfterEachNewLine) {
  TraceLine(&a_, "A\n");
  TraceLine(&a_, "A\n");
  TraceLine(&a_, "B\n");
  TraceLine(&a_, "B\n");
  TraceLine(&a_, "B\n");
  TraceLine(&a_, "A\n");
  TraceLine(&a_, "C\n");
  EXPECT_EQ((std::vector<std::string>{"A\n",
                                      "Previous message repeated 1 times\n",
                                      "B\n",
                                      "Previous message repeated 2 times\n",
                                      "A\n", "C\n"}),
            Lines());
}

TEST_F(TraceLogTest, PendingCountIsNotPrintedWithoutANewLine) {
  TraceLine(&a_, "Stripe %d Reopen sts %d\n", 1, 0);
  TraceLine(&a_, "Stripe %d Reopen sts %d\n", 1, 0);
  TraceLine(&b_, "Stripe %d Reopen sts %d\n", 1, 0);
  EXPECT_EQ(std::vector<std::string>{"Stripe 1 Reopen sts 0\n"}, Lines());
}

TEST_F(TraceLogTest, ResetForgetsTheLastLine) {
  TraceLine(&a_, "same\n");
  TraceLine(&a_, "same\n");
  ResetTraceMemoryForTesting();
  TraceLine(&a_, "same\n");
  TraceLine(&a_, "other\n");
  // The count pending before the reset is gone with it.
  EXPECT_EQ((std::vector<std::string>{"same\n", "same\n", "other\n"}),
            Lines());
}

TEST_F(TraceLogTest, LongLinesArePrintedWholeAndComparedWhole) {
  std::string devstring(600, 'x');
  TraceLine(&a_, "Stripe %d archdev str %s\n", 1, devstring.c_str());
  // Differs from the first only beyond character 255.
  devstring[500] = 'y';
  TraceLine(&a_, "Stripe %d archdev str %s\n", 1, devstring.c_str());
  TraceLine(&a_, "Stripe %d archdev str %s\n", 1, devstring.c_str());
  TraceLine(&a_, "end\n");

  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("Stripe 1 archdev str " + std::string(600, 'x') + "\n", lines[0]);
  EXPECT_EQ("Stripe 1 archdev str " + devstring + "\n", lines[1]);
  EXPECT_EQ("Previous message repeated 1 times\n", lines[2]);
  EXPECT_EQ("end\n", lines[3]);
}

TEST_F(TraceLogTest, ArgumentsArePrintedLiterally) {
  TraceLine(&a_, "Stripe %d, Open %s failed. lasterr %d\n", 0,
            "c:\\100%d\\s1.1", 5);
  TraceLine(&a_, "Stripe %d capacity initialized to %" PRId64 "\n", 0,
            static_cast<int64_t>(2199023190016));
  TraceLine(&a_, "Stripe %d Tape write protected? %c\n", 0, 'N');
  EXPECT_EQ((std::vector<std::string>{
                "Stripe 0, Open c:\\100%d\\s1.1 failed. lasterr 5\n",
                "Stripe 0 capacity initialized to 2199023190016\n",
                "Stripe 0 Tape write protected? N\n"}),
            Lines());
}

TEST_F(TraceLogTest, LinesFromManyThreadsAreAllAccountedFor) {
  // Every call either prints its line or is counted as a repeat; with the
  // memory unguarded, lines would be lost or the string torn.
  constexpr int kThreads = 4;
  constexpr int kLinesPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kLinesPerThread; ++i) {
        TraceLine(&a_, "Stripe %d line %d\n", t, i / 2);
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  TraceLine(&a_, "done\n");

  int64_t accounted = 0;
  for (const std::string &line : Lines()) {
    long long repeats = 0;
    if (std::sscanf(line.c_str(), "Previous message repeated %lld times",
                    &repeats) == 1) {
      accounted += repeats;
    } else {
      ++accounted;
    }
  }
  EXPECT_EQ(kThreads * kLinesPerThread + 1, accounted);
}

TEST(ParseDecimalIntTest, ReadsLikeTheEnvironmentVariablesAreRead) {
  EXPECT_EQ(64, ParseDecimalInt("64"));
  EXPECT_EQ(0, ParseDecimalInt("0"));
  EXPECT_EQ(0, ParseDecimalInt("0x40"));  // no hexadecimal form
  EXPECT_EQ(-1, ParseDecimalInt(" -1"));
  EXPECT_EQ(7, ParseDecimalInt("+7"));
  EXPECT_EQ(0, ParseDecimalInt(""));
  EXPECT_EQ(12, ParseDecimalInt("\t\n\v\f\r 12abc"));
  EXPECT_EQ(255, ParseDecimalInt("255 7"));
  EXPECT_EQ(0, ParseDecimalInt("-"));
  EXPECT_EQ(0, ParseDecimalInt("+-3"));
  EXPECT_EQ(0, ParseDecimalInt("- 3"));
  EXPECT_EQ(0, ParseDecimalInt("x64"));
  EXPECT_EQ(5, ParseDecimalInt(std::string("5\0" "9", 3)));
}

TEST(ParseDecimalIntTest, WrapsTo32Bits) {
  EXPECT_EQ(INT32_MAX, ParseDecimalInt("2147483647"));
  EXPECT_EQ(INT32_MIN, ParseDecimalInt("2147483648"));
  EXPECT_EQ(INT32_MIN, ParseDecimalInt("-2147483648"));
  EXPECT_EQ(INT32_MAX, ParseDecimalInt("-2147483649"));
  EXPECT_EQ(-1, ParseDecimalInt("4294967295"));
  EXPECT_EQ(0, ParseDecimalInt("4294967296"));
  EXPECT_EQ(10, ParseDecimalInt("4294967306"));
  EXPECT_EQ(1661992959, ParseDecimalInt("99999999999999999999"));
}

}  // namespace
}  // namespace kor
