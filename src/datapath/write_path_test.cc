// Tests of the write side: capacity accounting, the full-disk wait, tape
// blocking and the refusals that keep a backup from looping.
//
// Strategy: disk stripes get a small capacity so that volume switches
// happen after a few requests, and every volume file is compared with the
// byte stream it must hold (header labels, requests, trailer); a volume
// still open is looked at after FlushCarry has written out what it carries.
// Full disks are scripted with WriteFile faults (some bytes taken, then 112)
// on requests large enough to be handed to the OS at once, and free space
// that comes back while the virtual clock runs.  Tape stripes write
// to a fake drive whose records show the blocking.
#include "datapath/write_path.h"

#include <gtest/gtest.h>

#include <cstring>

#include "device/block_write.h"
#include "device/disk_carry.h"
#include "device/device_close.h"
#include "diag/error_report.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"
#include "volume/media_switch.h"
#include "volume/volume_open.h"

namespace kor {
namespace {

using testkit::Append;
using testkit::DataPathTest;
using testkit::EovRecordBytes;
using testkit::HeaderLabelBytes;
using testkit::MakeHandle;
using testkit::PatternBytes;

constexpr char kDev[] = "devname=C:\\bk\\s1;dbtype=ZDBn";
constexpr char kTapeName[] = "\\\\.\\TAPE0";
// A disk request large enough to be handed to the OS at once rather than
// gathered.
constexpr int32_t kLarge = 70000;

class WritePathTest : public DataPathTest {
 protected:
  // A disk backup stripe with its first volume open; each volume may take
  // `capacity` bytes, labels included.
  testkit::TestStripe OpenDiskBackup(uint64_t capacity,
                                     const std::string &extra = "") {
    auto h = MakeHandle(0, std::string(kDev) + extra);
    h->capacity = capacity;
    EXPECT_GE(OpenDevice(h.get(), kModeWrite), 0);
    return h;
  }

  // A tape backup stripe on a fake drive with one empty cartridge, opened
  // directly (the header labels are not written).
  testkit::TestStripe OpenTapeBackup(int32_t blocksize) {
    FakeTapeDrive &drive = fake_->AddTapeDrive(kTapeName);
    drive.cartridges.resize(1);
    drive.loaded = 0;
    auto h = MakeHandle(0, "devname=\\\\.\\TAPE0;dbtype=ZDBn;blocksize=" +
                               std::to_string(blocksize));
    EXPECT_TRUE(testkit::OpenTapeHandle(h.get()));
    h->open_mode = kModeWrite;
    h->spaceleft = h->capacity;
    h->fresh_spaceleft = h->capacity;
    return h;
  }

  const std::vector<FakeCartridge::Record> &Records() {
    return fake_->TapeDrive(kTapeName).cartridges[0].records;
  }
};

TEST_F(WritePathTest, RequestEqualToSpaceLeftIsWrittenOneMoreSwitches) {
  auto h = OpenDiskBackup(1000);
  ASSERT_EQ(1000u - 228u, h->spaceleft);
  const std::vector<uint8_t> first = PatternBytes(772, 1);
  ASSERT_EQ(0, WriteRequest(h.get(), first.data(), 772));
  EXPECT_EQ(0u, h->spaceleft);
  EXPECT_EQ(1, h->volume_number);

  const std::vector<uint8_t> second = PatternBytes(1, 2);
  ASSERT_EQ(0, WriteRequest(h.get(), second.data(), 1));
  EXPECT_EQ(2, h->volume_number);
  EXPECT_EQ(IO_OK, h->io_status);
  EXPECT_TRUE(host_.infos.empty());  // disk: nobody is asked

  std::vector<uint8_t> volume1 = HeaderLabelBytes(0, 1);
  Append(&volume1, first);
  Append(&volume1, EovRecordBytes());
  EXPECT_EQ(volume1, fake_->FileContent("C:\\bk\\s1.1"));
  std::vector<uint8_t> volume2 = HeaderLabelBytes(0, 2);
  Append(&volume2, second);
  ASSERT_EQ(0, FlushCarry(h.get()));
  EXPECT_EQ(volume2, fake_->FileContent("C:\\bk\\s1.2"));
}

TEST_F(WritePathTest, CapacityTraceOnlyNearTheEndOfTheBudget) {
  fake_->SetEnv("KORDBG", "1");
  auto h = OpenDiskBackup(uint64_t{2} << 20);
  fake_->ClearTrace();
  const std::vector<uint8_t> data = PatternBytes(100, 3);
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 100));
  EXPECT_FALSE(TraceContains("capacity check"));
  h->spaceleft = 0x100000;
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 100));
  EXPECT_TRUE(Traced(
      "Stripe 0 capacity check, total 2097152 left 1048576, tobewritten 100"));
}

TEST_F(WritePathTest, DiskFullMidRequestWritesTheRestOnceSpaceReturns) {
  auto h = OpenDiskBackup(1 << 20);
  // The request's first write (labels and request together) takes 300
  // bytes, the next finds the disk full.
  Fault partial{OsCall::kWriteFile, 1};
  partial.transfer = 300;
  fake_->Inject(partial);
  fake_->Inject({OsCall::kWriteFile, 2, 1, kErrorDiskFull});
  fake_->SetFreeSpace(8 * 1024);
  fake_->on_sleep = [](FakeOs &os) {
    if (os.SleptMilliseconds() == 20000) os.SetFreeSpace(1 << 20);
  };
  const std::vector<uint8_t> data = PatternBytes(kLarge, 4);
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), kLarge));
  EXPECT_EQ(20000u, fake_->SleptMilliseconds());
  EXPECT_TRUE(host_.errors.empty());
  EXPECT_EQ(1, h->volume_number);

  std::vector<uint8_t> expected = HeaderLabelBytes(0, 1);
  Append(&expected, data);
  ASSERT_EQ(0, FlushCarry(h.get()));
  EXPECT_EQ(expected, fake_->FileContent("C:\\bk\\s1.1"));
  EXPECT_EQ((1u << 20) - 228u - kLarge, h->spaceleft);
}

TEST_F(WritePathTest, CancelledSpaceWaitEndsIn6937) {
  auto h = OpenDiskBackup(1 << 20);
  fake_->Inject({OsCall::kWriteFile, 1, 1, kErrorDiskFull});
  fake_->SetFreeSpace(0);
  host_.cancel = [](int poll) { return poll > 25; };
  const std::vector<uint8_t> data = PatternBytes(kLarge, 5);
  EXPECT_EQ(-1, WriteRequest(h.get(), data.data(), kLarge));
  EXPECT_EQ("6937|C:\\bk\\s1", h.MessageText());
  EXPECT_EQ(IO_DISK_FULL, h->io_status);
}

TEST_F(WritePathTest, DiskThatKeepsRefusingDespiteFreeSpaceEndsIn6937) {
  auto h = OpenDiskBackup(1 << 20);
  fake_->Inject({OsCall::kWriteFile, 1, -1, kErrorDiskFull});
  const std::vector<uint8_t> data = PatternBytes(kLarge, 6);
  EXPECT_EQ(-1, WriteRequest(h.get(), data.data(), kLarge));
  EXPECT_EQ("6937|C:\\bk\\s1", h.MessageText());
  EXPECT_LE(fake_->Count(OsCall::kWriteFile), 1000);
  EXPECT_TRUE(fake_->FileContent("C:\\bk\\s1.1").empty());
}

TEST_F(WritePathTest, FailedDiskWriteFailsTheRequestAtOnce) {
  auto h = OpenDiskBackup(1 << 20);
  fake_->Inject({OsCall::kWriteFile, 1, 1, kErrorIoDevice});
  const std::vector<uint8_t> data = PatternBytes(kLarge, 6);
  EXPECT_EQ(-1, WriteRequest(h.get(), data.data(), kLarge));
  EXPECT_EQ("6934|C:\\bk\\s1|system text 1117", h.MessageText());
  EXPECT_EQ(1, fake_->Count(OsCall::kWriteFile));
}

TEST_F(WritePathTest, RequestLargerThanAnyVolumeIsRefused) {
  auto h = OpenDiskBackup(1000);
  const std::vector<uint8_t> data = PatternBytes(773, 7);
  EXPECT_EQ(-1, WriteRequest(h.get(), data.data(), 773));
  EXPECT_EQ(kErrWrite, h->last_error);
  EXPECT_EQ(1, h->volume_number);
  EXPECT_FALSE(fake_->HasFile("C:\\bk\\s1.2"));
  // Nothing of it was taken; the volume is still usable.
  const std::vector<uint8_t> small = PatternBytes(772, 8);
  EXPECT_EQ(0, WriteRequest(h.get(), small.data(), 772));
  std::vector<uint8_t> expected = HeaderLabelBytes(0, 1);
  Append(&expected, small);
  ASSERT_EQ(0, FlushCarry(h.get()));
  EXPECT_EQ(expected, fake_->FileContent("C:\\bk\\s1.1"));
}

TEST_F(WritePathTest, NoVolumeBeyond9999) {
  auto h = MakeHandle(0, kDev);
  h->capacity = 1000;
  h->volume_number = 9999;
  ASSERT_GE(OpenDevice(h.get(), kModeWrite), 0);
  const std::vector<uint8_t> data = PatternBytes(500, 9);
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 500));
  EXPECT_EQ(-1, WriteRequest(h.get(), data.data(), 500));
  EXPECT_EQ(kErrWrite, h->last_error);
  EXPECT_EQ(9999, h->volume_number);
  EXPECT_FALSE(fake_->HasFile("C:\\bk\\s1.10000"));
  // The last volume can still be closed properly.
  EXPECT_EQ(160, WriteEofLabels(h.get()));
}

TEST_F(WritePathTest, TapeShortRequestTakesOneWholeBlock) {
  auto h = OpenTapeBackup(65536);
  const uint64_t before = h->spaceleft;
  const std::vector<uint8_t> data = PatternBytes(100, 10);
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 100));
  ASSERT_EQ(1u, Records().size());
  ASSERT_EQ(65536u, Records()[0].data.size());
  EXPECT_EQ(data, std::vector<uint8_t>(Records()[0].data.begin(),
                                       Records()[0].data.begin() + 100));
  EXPECT_EQ(before - 65536, h->spaceleft);
}

TEST_F(WritePathTest, TapeRequestOfTwoAndAHalfBlocksWritesThree) {
  auto h = OpenTapeBackup(1024);
  const uint64_t before = h->spaceleft;
  const std::vector<uint8_t> data = PatternBytes(2560, 11);
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 2560));
  ASSERT_EQ(3u, Records().size());
  std::vector<uint8_t> written;
  for (const auto &record : Records()) {
    ASSERT_EQ(1024u, record.data.size());
    Append(&written, record.data);
  }
  EXPECT_EQ(data, std::vector<uint8_t>(written.begin(), written.begin() + 2560));
  EXPECT_EQ(before - 3 * 1024, h->spaceleft);
}

TEST_F(WritePathTest, TapeZeroLengthRequestWritesOnePaddingBlock) {
  auto h = OpenTapeBackup(1024);
  // A host may pass no buffer with a zero length.
  ASSERT_EQ(0, WriteRequest(h.get(), nullptr, 0));
  ASSERT_EQ(1u, Records().size());
  EXPECT_EQ(1024u, Records()[0].data.size());
}

// Nothing reaches the volume, but the request is a transfer of 0 bytes all
// the same: traced like any other, and one profiling sample.
TEST_F(WritePathTest, DiskZeroLengthRequestWritesNothingButIsATransfer) {
  fake_->SetEnv("KORDBG", "3");
  fake_->SetEnv("KORIOPROF", "1");
  auto h = OpenDiskBackup(1 << 20);
  ASSERT_EQ(0, WriteRequest(h.get(), nullptr, 0));
  const std::vector<std::string> trace = Trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ((std::vector<std::string>{
                "Stripe 0 WriteFile OK wrote 0 of 0",
                "Stripe 0 bytes 0 wall 0 usr 0 cpu 0 tps 1000"}),
            std::vector<std::string>(trace.end() - 2, trace.end()));
  ASSERT_EQ(0, FlushCarry(h.get()));
  EXPECT_EQ(HeaderLabelBytes(0, 1), fake_->FileContent("C:\\bk\\s1.1"));
}

TEST_F(WritePathTest, ShortTapeBlockIsEndOfTapeAndAnError) {
  auto h = OpenTapeBackup(1024);
  Fault fault{OsCall::kWriteFile, 2};
  fault.transfer = 500;
  fake_->Inject(fault);
  const std::vector<uint8_t> data = PatternBytes(3072, 12);
  EXPECT_EQ(-1, WriteRequest(h.get(), data.data(), 3072));
  EXPECT_EQ(IO_EOT, h->io_status);
  EXPECT_EQ("6934|\\\\.\\TAPE0|Reached EOT when size set", h.MessageText());
  EXPECT_EQ(2, fake_->Count(OsCall::kWriteFile));
  EXPECT_EQ(1, h->volume_number);
  EXPECT_EQ(0, fake_->Count(OsCall::kWriteTapemarks));
  EXPECT_TRUE(TraceContains("assumed EOT due to short write  (500 of 1024)"));
}

TEST_F(WritePathTest, LabelsAreWrittenEvenBeyondTheBudget) {
  auto h = OpenDiskBackup(1000);
  h->spaceleft = 10;
  EXPECT_EQ(160, WriteEovLabels(h.get()));
  EXPECT_EQ(0u, h->spaceleft);  // never below zero
  std::vector<uint8_t> expected = HeaderLabelBytes(0, 1);
  Append(&expected, EovRecordBytes());
  ASSERT_EQ(0, FlushCarry(h.get()));
  EXPECT_EQ(expected, fake_->FileContent("C:\\bk\\s1.1"));
}

}  // namespace
}  // namespace kor
