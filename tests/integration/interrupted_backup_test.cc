// Backups that stopped part of the way, and what their restores make of
// them.
//
// Strategy: a backup host that dies never calls kor_close, so the last
// volume it was writing has no trailer labels, and the requests the stripe
// still held in memory (up to 64 KiB gathered for the next page-aligned
// write) never reach it.  The tests make that state for real: a stripe is
// backed up over several 256 KB volume files and, while its handle is
// still open, the volume files are copied (the copy is the backup as a
// crash leaves it); the handle is then abandoned.  Other
// tests damage a finished backup the ways an interrupted copy or a lost
// file does: a last or middle volume cut short (at a request boundary or
// inside a request), a middle volume missing, a volume that holds only
// part of its header labels.  The restoring host asks for the whole stream
// it meant to back up.  Every read before the damage must give the right
// bytes, and the first read that cannot be served whole must fail with a
// clear error (6935 or 6920, naming the device or the volume file, its
// text in the host's buffer), never with success and fewer or other bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_harness.h"

namespace korit {
namespace {

constexpr int32_t kRequest = 10000;
// 26 requests fill a volume: 228 + 26 * 10000 + 160 <= 262144.
constexpr int kPerVolume = 26;

// The stream the host means to back up: 80 requests, four volumes.
StreamPlan FullPlan(uint32_t seed) {
  StreamPlan plan;
  plan.seed = seed;
  plan.total = 80 * static_cast<uint64_t>(kRequest);
  plan.request = kRequest;
  plan.stripes = 1;
  plan.first_stripe = 0;
  return plan;
}

// How a restore of the whole stream went.
struct RestoreOutcome {
  int delivered = 0;        // reads that succeeded before the first failure
  int32_t error = 0;        // kor_get_last_error after that failure
  std::string buffer;       // the host's buffer after that failure
  std::vector<std::string> args;  // the failure's arguments, as received
};

class InterruptedBackupTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetHost(); }

  // Copies the volume files of `from` under the prefix `to`.
  static int CopyVolumes(const std::string &from, const std::string &to) {
    int v = 1;
    for (; FileExists(VolumeName(from, v)); ++v)
      WriteWholeFile(VolumeName(to, v), ReadWholeFile(VolumeName(from, v)));
    return v - 1;
  }

  // Backs up the first `count` requests of the plan and leaves the handle
  // open, as a host that stops there does.
  void *StartBackup(const std::string &prefix, const StreamPlan &plan, int count) {
    params_.SetDevice(0, SmallDiskDevice(prefix));
    MessageBuffer msg;
    void *h = kor_open(0, params_.get(), KOR_MODE_WRITE, &msg);
    EXPECT_NE(h, nullptr) << BufferText(msg);
    if (h == nullptr) return nullptr;
    std::vector<uint8_t> data(kRequest);
    for (int k = 0; k < count; ++k) {
      FillStream(plan.seed, static_cast<uint64_t>(k) * kRequest, data.data(), data.size());
      EXPECT_EQ(kor_write(h, data.data(), kRequest, &msg), 0) << BufferText(msg);
    }
    return h;
  }

  // Reads the plan's whole stream from `prefix` until a read fails.  Every
  // read that succeeds must give the stream's bytes.
  RestoreOutcome RestoreAll(const std::string &prefix, const StreamPlan &plan,
                            int32_t read_size = kRequest) {
    RestoreOutcome out;
    params_.SetDevice(0, SmallDiskDevice(prefix));
    MessageBuffer msg;
    std::memset(&msg, 0, sizeof msg);
    void *h = kor_open(0, params_.get(), KOR_MODE_READ, &msg);
    if (h == nullptr) {
      out.error = RecordedErrors().empty() ? 0 : RecordedErrors().back().number;
      out.buffer = BufferText(msg);
      if (!RecordedErrors().empty()) out.args = RecordedErrors().back().args;
      return out;
    }
    std::vector<uint8_t> got, want;
    for (uint64_t at = 0; at < plan.total; at += static_cast<uint64_t>(read_size)) {
      const size_t length = static_cast<size_t>(
          std::min<uint64_t>(static_cast<uint64_t>(read_size), plan.total - at));
      got.assign(length, 0);
      want.assign(length, 0);
      std::memset(&msg, 0, sizeof msg);
      if (kor_read(h, got.data(), static_cast<int32_t>(length), &msg) != 0) {
        out.error = kor_get_last_error(h);
        out.buffer = BufferText(msg);
        if (!RecordedErrors().empty()) out.args = RecordedErrors().back().args;
        break;
      }
      FillStream(plan.seed, at, want.data(), want.size());
      EXPECT_EQ(got, want) << "the read at stream offset " << at
                           << " succeeded with other bytes";
      if (got != want) break;
      ++out.delivered;
    }
    EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg), 0) << BufferText(msg);
    return out;
  }

  // The restore stopped at read `at` with a clear error naming `name`.
  static void ExpectStoppedAt(const RestoreOutcome &out, int at, int32_t error,
                              const std::string &name) {
    EXPECT_EQ(out.delivered, at) << "reads served before the damage";
    EXPECT_EQ(out.error, error);
    ASSERT_FALSE(out.args.empty()) << "the failure carries no arguments";
    EXPECT_EQ(out.args[0], name);
    EXPECT_EQ(out.buffer, MessageText(error, out.args));
  }

  TempDir dir_;
  HostParams params_;
};

// What the open volume of a crashed backup holds: whole 4 KiB pages, and
// all but the last (at most 68 KiB) of what the host was told is written.
// Returns how many requests of that volume it holds whole.
int WholeRequestsOnCrashedVolume(const std::string &volume, int acknowledged) {
  const int64_t size = FileSize(volume);
  const int64_t told = 228 + int64_t{acknowledged} * kRequest;
  EXPECT_EQ(size % 4096, 0) << "a write that did not end on a page";
  EXPECT_LE(size, told);
  EXPECT_GT(size, told - 64 * 1024 - 4096) << "more held back than one gather";
  return static_cast<int>((size - 228) / kRequest);
}

TEST_F(InterruptedBackupTest, LastVolumeWithoutTrailerLabelsEndsInAReadError) {
  // The host stops after 60 requests, in the middle of volume 3.
  const StreamPlan plan = FullPlan(41);
  const std::string prefix = dir_.Sub("live");
  void *h = StartBackup(prefix, plan, 60);
  ASSERT_NE(h, nullptr);
  const std::string copy = dir_.Sub("crashed");
  ASSERT_EQ(CopyVolumes(prefix, copy), 3);
  MessageBuffer msg;
  EXPECT_EQ(kor_close(h, KOR_CLOSE_ABANDON, &msg), 0) << BufferText(msg);

  const int whole = WholeRequestsOnCrashedVolume(VolumeName(copy, 3),
                                                 60 - 2 * kPerVolume);
  const int at = 2 * kPerVolume + whole;
  ExpectStoppedAt(RestoreAll(copy, plan), at, 6935, copy);

  // Reads of half a request stop at the same byte, or one read later when
  // half of the cut request is still there.
  const int64_t size = FileSize(VolumeName(copy, 3));
  const int halves = static_cast<int>((size - 228) / (kRequest / 2));
  ExpectStoppedAt(RestoreAll(copy, plan, kRequest / 2),
                  4 * kPerVolume + halves, 6935, copy);
}

TEST_F(InterruptedBackupTest, LastVolumeCutInsideARequestEndsInAReadError) {
  const StreamPlan plan = FullPlan(42);
  const std::string prefix = dir_.Sub("s0");
  void *h = StartBackup(prefix, plan, 70);
  ASSERT_NE(h, nullptr);
  const std::string copy = dir_.Sub("crashed");
  ASSERT_EQ(CopyVolumes(prefix, copy), 3);
  MessageBuffer msg;
  EXPECT_EQ(kor_close(h, KOR_CLOSE_ABANDON, &msg), 0) << BufferText(msg);

  // The last request the crashed volume holds whole loses its last 1234
  // bytes.
  const int whole = WholeRequestsOnCrashedVolume(VolumeName(copy, 3), 70 - 52);
  ASSERT_GE(whole, 1);
  TruncateFile(VolumeName(copy, 3), 228 + whole * kRequest - 1234);
  const int at = 2 * kPerVolume + whole - 1;
  ExpectStoppedAt(RestoreAll(copy, plan), at, 6935, copy);
  // Smaller reads stop at the same place: the first half of the cut
  // request still lies whole within what is left.
  ExpectStoppedAt(RestoreAll(copy, plan, 5000), 2 * at + 1, 6935, copy);
}

TEST_F(InterruptedBackupTest, MiddleVolumeCutShortIsNotSkipped) {
  // A finished backup of 80 requests on four volumes; volume 2 loses its
  // end-of-volume labels and its last two requests, then, in a second
  // round, only a part of its last request.
  const StreamPlan plan = FullPlan(43);
  const std::string prefix = dir_.Sub("s0");
  params_.SetDevice(0, SmallDiskDevice(prefix));
  ASSERT_TRUE(BackupStream(params_, plan));
  ASSERT_TRUE(FileExists(VolumeName(prefix, 4)));
  const std::vector<uint8_t> volume2 = ReadWholeFile(VolumeName(prefix, 2));

  TruncateFile(VolumeName(prefix, 2), 228 + (kPerVolume - 2) * kRequest);
  ExpectStoppedAt(RestoreAll(prefix, plan), 2 * kPerVolume - 2, 6935, prefix);

  WriteWholeFile(VolumeName(prefix, 2), volume2);
  TruncateFile(VolumeName(prefix, 2), 228 + kPerVolume * kRequest - 1);
  ExpectStoppedAt(RestoreAll(prefix, plan), 2 * kPerVolume - 1, 6935, prefix);
}

TEST_F(InterruptedBackupTest, MissingMiddleVolumeStopsTheRestoreThere) {
  const StreamPlan plan = FullPlan(44);
  const std::string prefix = dir_.Sub("s0");
  params_.SetDevice(0, SmallDiskDevice(prefix));
  ASSERT_TRUE(BackupStream(params_, plan));
  ASSERT_EQ(std::remove(VolumeName(prefix, 2).c_str()), 0);
  ASSERT_TRUE(FileExists(VolumeName(prefix, 3)));

  // Volume 3 is there but must not stand in for volume 2.
  const RestoreOutcome out = RestoreAll(prefix, plan);
  ExpectStoppedAt(out, kPerVolume, 6920, VolumeName(prefix, 2));
  ASSERT_EQ(out.args.size(), 2u);
  EXPECT_FALSE(out.args[1].empty()) << "the system's text is missing";
}

TEST_F(InterruptedBackupTest, VolumeWithOnlyPartOfItsHeaderLabelsIsABadLabel) {
  // The backup stopped while it was labelling volume 3: the file holds
  // nothing, only VOL1, or VOL1 and a part of HDR1.
  const StreamPlan plan = FullPlan(45);
  const std::string prefix = dir_.Sub("s0");
  params_.SetDevice(0, SmallDiskDevice(prefix));
  ASSERT_TRUE(BackupStream(params_, plan));
  const std::vector<uint8_t> volume3 = ReadWholeFile(VolumeName(prefix, 3));
  for (int64_t size : {0, 80, 100}) {
    SCOPED_TRACE("volume 3 holds " + std::to_string(size) + " bytes");
    ResetHost();
    WriteWholeFile(VolumeName(prefix, 3), volume3);
    TruncateFile(VolumeName(prefix, 3), size);
    const RestoreOutcome out = RestoreAll(prefix, plan);
    ExpectStoppedAt(out, 2 * kPerVolume, 6920, prefix);
    EXPECT_EQ(out.args, (std::vector<std::string>{prefix, "bad label"}));
  }
}

}  // namespace
}  // namespace korit
