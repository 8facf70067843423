// Backups written to real disk volume files through the exported functions
// and restored byte for byte.
//
// Strategy: a generated stream is dealt out round-robin over several
// stripes in requests of awkward sizes, with the smallest volume capacity
// so that every stripe spans several volume files.  After the backup every
// volume file is compared byte for byte with what it must hold (labels with
// the right serial, whole requests, the right trailer); then the stream is
// read back with the same requests and compared.
#include <cstring>
#include <string>
#include <vector>

#include "host_harness.h"

namespace korit {
namespace {

class DiskRoundtripTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetHost(); }

  // Backs the plan up onto stripes named dir/s<stripe> with 256 KB
  // volumes, checks every volume file, restores and compares.  Returns the
  // number of volumes of the stripe that got the most.
  int RoundTrip(const StreamPlan &plan) {
    HostParams params;
    for (int i = 0; i < plan.stripes; ++i) {
      int s = plan.first_stripe + i;
      params.SetDevice(s, SmallDiskDevice(Prefix(s)));
    }
    EXPECT_TRUE(BackupStream(params, plan));
    int most = 0;
    for (int i = 0; i < plan.stripes; ++i) {
      int s = plan.first_stripe + i;
      int volumes = 0;
      EXPECT_TRUE(CheckVolumeFiles(Prefix(s), plan, s, kMinCapacityBytes, &volumes))
          << "stripe " << s;
      most = volumes > most ? volumes : most;
    }
    EXPECT_TRUE(RestoreAndCompare(params, plan));
    EXPECT_TRUE(RecordedErrors().empty())
        << "first error: " << RecordedErrors().front().number;
    return most;
  }

  std::string Prefix(int stripe) const { return dir_.Sub("s" + std::to_string(stripe)); }

  TempDir dir_;
};

TEST_F(DiskRoundtripTest, OddRequestSizesOverFourStripes) {
  struct Case {
    int32_t request;
    uint64_t total;
    int min_volumes;
  };
  const Case cases[] = {
      {1, 4003, 1},          {7, 40001, 1},           {161, 1200007, 2},
      {4095, 2500000, 3},    {65536, 2500001, 3},     {100000, 2500000, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("request size " + std::to_string(c.request));
    TempDir dir;
    HostParams params;
    StreamPlan plan;
    plan.seed = static_cast<uint32_t>(c.request);
    plan.total = c.total;
    plan.request = c.request;
    plan.stripes = 4;
    for (int s = 0; s < 4; ++s)
      params.SetDevice(s, SmallDiskDevice(dir.Sub("s" + std::to_string(s))));
    ASSERT_TRUE(BackupStream(params, plan));
    for (int s = 0; s < 4; ++s) {
      int volumes = 0;
      EXPECT_TRUE(CheckVolumeFiles(dir.Sub("s" + std::to_string(s)), plan, s,
                                   kMinCapacityBytes, &volumes))
          << "stripe " << s;
      EXPECT_GE(volumes, c.min_volumes) << "stripe " << s;
    }
    ASSERT_TRUE(RestoreAndCompare(params, plan));
    EXPECT_TRUE(RecordedErrors().empty());
  }
}

TEST_F(DiskRoundtripTest, VolumeFilesCarryTheLabelsAtTheirPlaces) {
  // Spelled out once for stripe 2, without the harness's label builders.
  StreamPlan plan;
  plan.seed = 7;
  plan.total = 1200000;
  plan.request = 65536;
  plan.stripes = 3;
  ASSERT_GE(RoundTrip(plan), 2);

  for (int volume = 1; volume <= 2; ++volume) {
    const std::vector<uint8_t> file = ReadWholeFile(VolumeName(Prefix(2), volume));
    ASSERT_GT(file.size(), 228u + 160u);
    const std::string text(file.begin(), file.end());
    EXPECT_EQ(text.substr(0, 10), volume == 1 ? "VOL1020001" : "VOL1020002");
    EXPECT_EQ(text[79], '4');
    EXPECT_EQ(text.substr(80, 4), "HDR1");
    EXPECT_EQ(text.substr(80 + 27, 33), "000000000000000000000000000000000");
    EXPECT_EQ(text.substr(148, 4), "HDR2");
    EXPECT_EQ(text.substr(152, 11), "F0000000000");
    // Data from 228 on: the first bytes of stripe 2's share of the stream.
    if (volume == 1) {
      std::vector<uint8_t> first(16);
      FillStream(plan.seed, 2 * 65536, first.data(), first.size());
      EXPECT_EQ(0, std::memcmp(file.data() + 228, first.data(), first.size()));
    }
    const std::string tail = text.substr(text.size() - 160);
    EXPECT_EQ(tail.substr(0, 4), volume == 1 ? "EOV1" : "EOF1");
    EXPECT_EQ(tail.substr(80, 4), volume == 1 ? "EOV2" : "EOF2");
    if (volume == 1) {
      // Three whole 65536-byte requests fit after the labels, a fourth not.
      EXPECT_EQ(file.size(), 228u + 3u * 65536u + 160u);
      EXPECT_LE(file.size(), 262144u + 160u);
    }
  }
}

TEST_F(DiskRoundtripTest, EmptyStreamLeavesOnlyLabels) {
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(Prefix(0)));
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);

  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg);
  ASSERT_NE(h, nullptr) << msg.text;
  EXPECT_EQ(kor_get_last_error(h), 0);
  ASSERT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg), 0) << msg.text;

  const std::string labels = Vol1Label(0, 1) + Hdr1Label() + Hdr2Label() + TrailerLabels(false);
  const std::vector<uint8_t> file = ReadWholeFile(VolumeName(Prefix(0), 1));
  EXPECT_EQ(std::string(file.begin(), file.end()), labels);
  EXPECT_FALSE(FileExists(VolumeName(Prefix(0), 2)));

  h = kor_open(0, params.get(), KOR_MODE_READ, &msg);
  ASSERT_NE(h, nullptr) << msg.text;
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg), 0) << msg.text;
  EXPECT_TRUE(RecordedErrors().empty());
}

TEST_F(DiskRoundtripTest, SmallRequestsMeetTheEndOfVolumeRecord) {
  // Requests no longer than the 160-byte end-of-volume record: reading
  // them at the end of a volume must switch volumes, never hand the labels
  // out as data.  1-byte requests fill the first volume to the last byte.
  const int32_t sizes[] = {1, 7, 80, 160};
  for (int32_t size : sizes) {
    SCOPED_TRACE("request size " + std::to_string(size));
    ResetHost();
    StreamPlan plan;
    plan.seed = 1000u + static_cast<uint32_t>(size);
    plan.request = size;
    plan.total = 262000;  // a little more than one volume holds
    plan.stripes = 1;
    plan.first_stripe = 1;
    TempDir dir;
    HostParams params;
    params.SetDevice(1, SmallDiskDevice(dir.Sub("s1")));
    ASSERT_TRUE(BackupStream(params, plan));
    int volumes = 0;
    EXPECT_TRUE(CheckVolumeFiles(dir.Sub("s1"), plan, 1, kMinCapacityBytes, &volumes));
    EXPECT_EQ(volumes, 2);
    EXPECT_TRUE(RestoreAndCompare(params, plan));
    EXPECT_TRUE(RecordedErrors().empty());
  }
}

TEST_F(DiskRoundtripTest, RequestsThatFillAVolumeExactly) {
  // 262144 - 228 = 261916 = 4 * 65479: four requests fill the first volume
  // to its last byte and the fifth starts the second one.
  StreamPlan plan;
  plan.seed = 11;
  plan.request = 65479;
  plan.total = 5 * 65479;
  EXPECT_EQ(RoundTrip(plan), 2);
  EXPECT_EQ(FileSize(VolumeName(Prefix(0), 1)), 262144 + 160);
  EXPECT_EQ(FileSize(VolumeName(Prefix(0), 2)), 228 + 65479 + 160);
}

TEST_F(DiskRoundtripTest, RequestOfAWholeVolumeGoesOntoAFreshVolume) {
  // After one byte the whole-volume request no longer fits: it opens volume
  // 2 and fills it entirely; the next byte needs volume 3.  Zero-length
  // requests along the way change nothing.
  StreamPlan plan;
  plan.seed = 12;
  plan.lengths = {1, 0, 261916, 0, 5, 0};
  EXPECT_EQ(RoundTrip(plan), 3);
  EXPECT_EQ(FileSize(VolumeName(Prefix(0), 1)), 228 + 1 + 160);
  EXPECT_EQ(FileSize(VolumeName(Prefix(0), 2)), 262144 + 160);
  EXPECT_EQ(FileSize(VolumeName(Prefix(0), 3)), 228 + 5 + 160);
}

TEST_F(DiskRoundtripTest, MixedRequestSizesOnTwoStripes) {
  // Lengths that change from request to request, dealt over two stripes.
  StreamPlan plan;
  plan.seed = 13;
  plan.stripes = 2;
  const int32_t pattern[] = {100000, 1, 65536, 161, 4095, 160, 99999, 7, 0, 30000};
  for (int round = 0; round < 6; ++round)
    for (int32_t length : pattern) plan.lengths.push_back(length);
  EXPECT_GE(RoundTrip(plan), 3);
}

// A stream may hold anything, also the bytes of a trailer record (a backup
// of another backup's volume files, say).  Such requests, in the middle of
// a volume, last before a real volume switch, first after it and last of
// the backup, must come back whole: only the volume's real end is one.
TEST_F(DiskRoundtripTest, RequestsThatBeginLikeTrailersRestoreWhole) {
  const uint64_t room = kMinCapacityBytes - kHeaderBytes;
  for (int32_t size : {160, 65536}) {
    for (Head head : {Head::kEov, Head::kEof}) {
      SCOPED_TRACE(std::to_string(size) + "-byte requests beginning with " +
                   (head == Head::kEov ? "EOV1+EOV2" : "EOF1+EOF2"));
      ResetHost();
      const int per_volume = static_cast<int>(room / static_cast<uint64_t>(size));
      EXPECT_EQ(3, RoundTrip(TrailerHeadPlan(size, per_volume, head)));
    }
  }
}

}  // namespace
}  // namespace korit
