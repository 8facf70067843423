// Tests of I/O profiling.
//
// Strategy: a disk backup runs through the exported functions (kor_open,
// kor_write, kor_close) on the fake OS layer with KORIOPROF and KORDBG set
// in its scripted environment, so every transfer (labels included) is
// sampled, however the OS writes that carry them are cut.  Process times are scripted to grow by a fixed step at every
// sample, which makes the usr and cpu sums exact; the wall sum is checked
// on samples taken around scripted tick counts.  Only the statistics lines
// are looked at.
#include "device/io_profile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "korbr/korbr.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

using testkit::DataPathTest;
using testkit::MakeHandle;
using testkit::PatternBytes;

// 1.5 s of CPU in 100 ns units: one sample pair spans one whole second.
constexpr uint64_t kStep = 15000000;

class IoProfileTest : public DataPathTest {
 protected:
  IoProfileTest() {
    std::memset(&params_, 0, sizeof params_);
    params_.archdev[0] = "devname=C:\\bk\\s1;dbtype=ZDBn";
    std::memset(&msg_, 0, sizeof msg_);
    fake_->SetProcessTimes(ProcessTimes(), kStep);
  }

  // A backup of `writes` requests of 1000 bytes through the exported
  // functions.  They are gathered with the labels into one OS write at the
  // close, which is interrupted once.
  void RunBackup(int writes) {
    void *h = kor_open(0, &params_, KOR_MODE_WRITE, &msg_);
    ASSERT_NE(nullptr, h) << msg_.text;
    fake_->Inject({OsCall::kWriteFile, 1, 1, kErrorOperationAborted});
    const std::vector<uint8_t> data = PatternBytes(1000, 1);
    for (int i = 0; i < writes; ++i)
      ASSERT_EQ(0, kor_write(h, data.data(), 1000, &msg_)) << msg_.text;
    ASSERT_EQ(0, kor_close(h, KOR_CLOSE_NORMAL, &msg_)) << msg_.text;
  }

  std::vector<std::string> StatisticsLines() const {
    std::vector<std::string> lines;
    for (const std::string &line : Trace())
      if (line.find(" wall ") != std::string::npos) lines.push_back(line);
    return lines;
  }

  OpenParams params_;
  MessageBuffer msg_;
};

TEST_F(IoProfileTest, EveryThirdTransferGivesALineAndTheRestAtClose) {
  fake_->SetEnv("KORIOPROF", "3");
  fake_->SetEnv("KORDBG", "2");
  RunBackup(4);
  // Labels 80+68+80; three data writes; the fourth data write and the
  // 160-byte trailer at close.  The OS writes (one interrupted, then the
  // whole volume at once) are not what the statistics count.
  EXPECT_EQ((std::vector<std::string>{
                "Stripe 0 bytes 228 wall 0 usr 3000 cpu 3000 tps 1000",
                "Stripe 0 bytes 3000 wall 0 usr 3000 cpu 3000 tps 1000",
                "Stripe 0 bytes 1160 wall 0 usr 2000 cpu 2000 tps 1000"}),
            StatisticsLines());
  EXPECT_EQ(2, fake_->Count(OsCall::kWriteFile));
}

TEST_F(IoProfileTest, ExactMultipleLeavesNothingForTheClose) {
  fake_->SetEnv("KORIOPROF", "3");
  fake_->SetEnv("KORDBG", "2");
  RunBackup(2);  // 3 labels + 2 writes + trailer = 6 transfers
  EXPECT_EQ(2u, StatisticsLines().size());
}

TEST_F(IoProfileTest, DefaultTraceMaskPrintsNoStatistics) {
  fake_->SetEnv("KORIOPROF", "3");
  RunBackup(4);
  EXPECT_TRUE(StatisticsLines().empty());
  // Profiling still sampled every transfer.
  EXPECT_GT(fake_->Count(OsCall::kGetProcessTimes), 0);
}

TEST_F(IoProfileTest, WithoutKorioprofNothingIsSampled) {
  fake_->SetEnv("KORDBG", "2");
  RunBackup(4);
  EXPECT_TRUE(StatisticsLines().empty());
  EXPECT_EQ(0, fake_->Count(OsCall::kGetProcessTimes));
}

TEST_F(IoProfileTest, WallTimeCountsWholeSecondsOfTheTickCount) {
  fake_->SetEnv("KORIOPROF", "2");
  fake_->SetEnv("KORDBG", "2");
  auto h = MakeHandle(1, "devname=C:\\bk\\s1;dbtype=ZDBn");
  ASSERT_EQ(2, h->ioprof_samples);
  fake_->SetProcessTimes(ProcessTimes(), 0);
  bu_timeval start, end;
  fake_->SetTickCount(1999);
  ASSERT_TRUE(TakeTimeSample(&start));
  EXPECT_EQ(1000u, start.tick_ms);
  fake_->SetTickCount(4001);
  ASSERT_TRUE(TakeTimeSample(&end));
  RecordIoRate(h.get(), start, end, 10);
  // Within one second, but across a whole-second boundary.
  fake_->SetTickCount(4999);
  ASSERT_TRUE(TakeTimeSample(&start));
  fake_->SetTickCount(5000);
  ASSERT_TRUE(TakeTimeSample(&end));
  RecordIoRate(h.get(), start, end, 20);
  EXPECT_EQ(std::vector<std::string>{
                "Stripe 1 bytes 30 wall 4000 usr 0 cpu 0 tps 1000"},
            StatisticsLines());
  EXPECT_EQ(0, h->ioprof_used);
}

// A huge KORIOPROF would have the whole table made up front, gigabytes for
// a small backup: it is capped, and the trace says so.
TEST_F(IoProfileTest, KorioprofIsCappedAndTheTraceSaysSo) {
  fake_->SetEnv("KORIOPROF", "250000");
  void *h = kor_open(0, &params_, KOR_MODE_WRITE, &msg_);
  ASSERT_NE(nullptr, h) << msg_.text;
  EXPECT_EQ(kMaxIoProfileSamples,
            static_cast<StripeHandle *>(h)->ioprof_samples);
  EXPECT_TRUE(Traced("Stripe 0 KORIOPROF 250000 capped to 100000"));
  ASSERT_EQ(0, kor_close(h, KOR_CLOSE_NORMAL, &msg_)) << msg_.text;
}

// The tick count reaches its upper half after about 24.9 days of uptime and
// wraps to 0 after about 49.7; a server up that long still gets its
// statistics, with elapsed times from unsigned differences.
TEST_F(IoProfileTest, StatisticsWorkAtAnyUptime) {
  fake_->SetEnv("KORIOPROF", "2");
  fake_->SetEnv("KORDBG", "2");
  auto h = MakeHandle(1, "devname=C:\\bk\\s1;dbtype=ZDBn");
  fake_->SetProcessTimes(ProcessTimes(), 0);
  struct Span {
    uint32_t start, end;
  };
  // 2048 ms each: across 0x7FFFFFFF (whole seconds 2147482 to 2147484), and
  // across the wrap, where 2^32 ms is not a whole second: 1000 - 4294966000
  // taken modulo 2^32 is 2296.
  for (const Span &span : {Span{0x7FFFFC00u, 0x80000400u},
                           Span{0xFFFFFC00u, 0x00000400u}}) {
    bu_timeval start, end;
    fake_->SetTickCount(span.start);
    ASSERT_TRUE(TakeTimeSample(&start));
    fake_->SetTickCount(span.end);
    ASSERT_TRUE(TakeTimeSample(&end));
    RecordIoRate(h.get(), start, end, 10);
  }
  EXPECT_EQ(std::vector<std::string>{
                "Stripe 1 bytes 20 wall 4296 usr 0 cpu 0 tps 1000"},
            StatisticsLines());
  // Only missing process times make a sample invalid.
  bu_timeval sample;
  fake_->Inject({OsCall::kGetProcessTimes, 1, -1, 0});
  EXPECT_FALSE(TakeTimeSample(&sample));
}

}  // namespace
}  // namespace kor
