// Tests of opening a volume with its labels, and of the trailer writers.
//
// Strategy: disk stripes on the fake OS layer.  Backup opens are checked
// byte for byte in the volume file they create; restore opens read volume
// files that the test lays out from the label builders (header labels with
// a chosen serial, then data), so each check of the stripe and volume
// numbers can be met in turn.  The operator is the recording info
// callback, which can put the right volume file in place when it is asked
// for one.
#include "volume/volume_open.h"

#include <gtest/gtest.h>

#include "datapath/write_path.h"
#include "device/device_close.h"
#include "diag/error_report.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

using testkit::Append;
using testkit::DataPathTest;
using testkit::HeaderLabelBytes;
using testkit::HostMessage;
using testkit::MakeHandle;
using testkit::PatternBytes;

constexpr char kDev[] = "devname=C:\\bk\\s1;dbtype=ZDBn";
constexpr char kDevName[] = "C:\\bk\\s1";

std::vector<uint8_t> Slice(const std::vector<uint8_t> &bytes, size_t from,
                           size_t count) {
  return std::vector<uint8_t>(bytes.begin() + from,
                              bytes.begin() + from + count);
}

std::vector<uint8_t> Text(const std::string &text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// A restore volume: header labels with the given serial, then some data.
std::vector<uint8_t> RestoreVolume(int32_t stripe, int32_t volume) {
  std::vector<uint8_t> bytes = HeaderLabelBytes(stripe, volume);
  Append(&bytes, PatternBytes(500, static_cast<uint32_t>(volume)));
  return bytes;
}

class VolumeOpenTest : public DataPathTest {};

TEST_F(VolumeOpenTest, BackupVolumeIsFramedByHeaderAndTrailerLabels) {
  auto h = MakeHandle(3, kDev);
  ASSERT_GE(OpenDevice(h.get(), kModeWrite), 0);
  EXPECT_EQ(kModeWrite, h->open_mode);
  const std::vector<uint8_t> data = PatternBytes(1000, 7);
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 1000));
  ASSERT_EQ(160, WriteEofLabels(h.get()));
  ASSERT_EQ(0, CloseDevice(h.get(), 0));

  const std::vector<uint8_t> file = fake_->FileContent("C:\\bk\\s1.1");
  ASSERT_EQ(228u + 1000u + 160u, file.size());
  EXPECT_EQ(Text("VOL1030001"), Slice(file, 0, 10));
  EXPECT_EQ(Text("HDR1"), Slice(file, 80, 4));
  EXPECT_EQ(Text("HDR2"), Slice(file, 148, 4));
  EXPECT_EQ(HeaderLabelBytes(3, 1), Slice(file, 0, 228));
  EXPECT_EQ(data, Slice(file, 228, 1000));
  EXPECT_EQ(testkit::EofRecordBytes(), Slice(file, 1228, 160));
  EXPECT_EQ(Text("EOF1"), Slice(file, 1228, 4));
  EXPECT_EQ(Text("EOF2"), Slice(file, 1308, 4));
  // Labels use up the volume's budget like data.
  EXPECT_EQ(h->capacity - 228 - 1000 - 160, h->spaceleft);
}

// Labels on tape are written as they come, one block each, so a label
// write can fail at the open.  (On disk they are carried to the first data
// write, whose failure is the write's own.)
class TapeLabelTest : public VolumeOpenTest {
 protected:
  testkit::TestStripe TapeBackup() {
    FakeTapeDrive &drive = fake_->AddTapeDrive("\\\\.\\TAPE0");
    drive.cartridges.resize(1);
    drive.loaded = 0;
    return MakeHandle(0, "devname=\\\\.\\TAPE0;dbtype=ZDBn;blocksize=1024");
  }
};

TEST_F(TapeLabelTest, FailedVol1WriteStopsTheLabelsWithBadLabel) {
  auto h = TapeBackup();
  fake_->Inject({OsCall::kWriteFile, 1, 1, kErrorAccessDenied});
  EXPECT_LT(OpenDevice(h.get(), kModeWrite), 0);
  EXPECT_EQ(1, fake_->Count(OsCall::kWriteFile));
  EXPECT_EQ(IO_LABEL_ERROR, h->io_status);
  EXPECT_EQ((std::vector<int32_t>{kErrWrite, kErrVolume}), host_.ErrorNumbers());
  EXPECT_EQ("6920|\\\\.\\TAPE0|bad label", h.MessageText());
  EXPECT_TRUE(Traced("Stripe 0 Could not write HDR labels"));
  EXPECT_TRUE(fake_->TapeDrive("\\\\.\\TAPE0").cartridges[0].records.empty());
}

// A label write that takes nothing (a failure without a code) or only part
// of its block must not count as done: the volume would have no labels
// while the backup went on, and its restore could never open it.
TEST_F(TapeLabelTest, HeaderLabelThatIsNotWrittenWholeFailsTheOpen) {
  struct Case {
    int occurrence;
    uint32_t error;
    int64_t transfer;
  };
  for (const Case &c : {Case{1, 0, -1}, Case{2, 0, -1}, Case{3, 0, 0},
                        Case{3, 0, 512}}) {
    SCOPED_TRACE("write " + std::to_string(c.occurrence));
    fake_->ClearFaults();
    host_.errors.clear();
    auto h = TapeBackup();
    Fault fault{OsCall::kWriteFile, fake_->Count(OsCall::kWriteFile) +
                                        c.occurrence, 1, c.error, c.transfer};
    fake_->Inject(fault);
    EXPECT_LT(OpenDevice(h.get(), kModeWrite), 0);
    EXPECT_EQ("6920|\\\\.\\TAPE0|bad label", h.MessageText());
    CloseDevice(h.get(), 0);
  }
}

TEST_F(VolumeOpenTest, FirstStripeRefusesAnotherStripesVolume) {
  fake_->AddFile("C:\\bk\\s1.1", RestoreVolume(3, 1));
  auto h = MakeHandle(0, kDev);
  ASSERT_NE(0, h->attended);
  EXPECT_EQ(-1, OpenDevice(h.get(), kModeRead));
  EXPECT_EQ(IO_WRONG_STRIPE, h->io_status);
  EXPECT_EQ("6920|C:\\bk\\s1|bad label on first stripe", h.MessageText());
  EXPECT_TRUE(Traced(
      "Stripe 0 wrong stripe tapes (should contain Stripe 0's tapes)"));
  // No retry and no operator request, although attended.
  EXPECT_EQ(1, fake_->Count(OsCall::kOpenFile));
  EXPECT_TRUE(host_.infos.empty());
}

TEST_F(VolumeOpenTest, LaterStripeAdoptsTheFirstVolumesStripeNumber) {
  fake_->AddFile("C:\\bk\\s1.1", RestoreVolume(5, 1));
  fake_->AddFile("C:\\bk\\s1.2", RestoreVolume(2, 2));
  auto h = MakeHandle(2, "devname=C:\\bk\\s1;dbtype=ZDBn;attended=0");
  ASSERT_EQ(0, OpenDevice(h.get(), kModeRead));
  EXPECT_EQ(5, h->label_stripe);
  ASSERT_EQ(0, CloseDevice(h.get(), 0));
  h->volume_number = 2;
  EXPECT_EQ(-1, OpenDevice(h.get(), kModeRead));
  EXPECT_EQ(IO_WRONG_SEQUENCE, h->io_status);
  EXPECT_TRUE(Traced("Expecting stripe 5, found stripe 2"));
  EXPECT_TRUE(Traced("Stripe 2 tapes out of order"));
  EXPECT_EQ("6920|C:\\bk\\s1|bad restore sequence", h.MessageText());
  // The refused volume is handed back.
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  EXPECT_EQ(0, fake_->OpenHandleCount());
  EXPECT_TRUE(host_.infos.empty());
}

TEST_F(VolumeOpenTest, AttendedSequenceErrorAsksForTheVolumeAndRetries) {
  fake_->AddFile("C:\\bk\\s1.2", RestoreVolume(0, 3));
  auto h = MakeHandle(0, kDev);
  h->volume_number = 2;
  int open_handles_when_asked = -1;
  host_.on_info = [&](const HostMessage &m) {
    if (m.number != kMsgMountVolume) return;
    open_handles_when_asked = fake_->OpenHandleCount();
    fake_->AddFile("C:\\bk\\s1.2", RestoreVolume(0, 2));
  };
  EXPECT_EQ(0, OpenDevice(h.get(), kModeRead));
  EXPECT_TRUE(Traced("Expecting tape #2, found tape #3"));
  EXPECT_EQ(0, open_handles_when_asked);  // closed before asking
  ASSERT_EQ(2u, host_.infos.size());
  EXPECT_EQ(kErrVolume, host_.infos[0].number);
  EXPECT_EQ((std::vector<std::string>{kDevName, "Tapes out of order"}),
            host_.infos[0].args);
  EXPECT_EQ(kMsgMountVolume, host_.infos[1].number);
  EXPECT_EQ((std::vector<std::string>{"2", kDevName}), host_.infos[1].args);
  EXPECT_EQ(std::vector<int32_t>{kErrVolume}, host_.ErrorNumbers());
  EXPECT_EQ(kErrVolume, h->last_error);
  EXPECT_EQ(2, fake_->Count(OsCall::kOpenFile));
  EXPECT_NE(kInvalidOsHandle, h->device_handle);
}

TEST_F(VolumeOpenTest, UnattendedSequenceErrorFails) {
  fake_->AddFile("C:\\bk\\s1.2", RestoreVolume(0, 3));
  auto h = MakeHandle(0, "devname=C:\\bk\\s1;dbtype=ZDBn;attended=0");
  h->volume_number = 2;
  EXPECT_EQ(-1, OpenDevice(h.get(), kModeRead));
  EXPECT_EQ("6920|C:\\bk\\s1|bad restore sequence", h.MessageText());
  EXPECT_EQ(1, fake_->Count(OsCall::kOpenFile));
  EXPECT_EQ(0, fake_->OpenHandleCount());
  EXPECT_TRUE(host_.infos.empty());
}

// The wrong volume file is there again at once: the rounds are paced like
// a tape drive's wait, one round (its operator messages and trace lines)
// per wait, until the host cancels.
TEST_F(VolumeOpenTest, AttendedDiskRetryWaitsBetweenRoundsUntilTheHostCancels) {
  fake_->AddFile("C:\\bk\\s1.2", RestoreVolume(0, 3));
  auto h = MakeHandle(0, kDev);
  h->volume_number = 2;
  std::vector<uint64_t> asked_at;  // virtual time of each request, in ms
  host_.on_info = [&](const HostMessage &m) {
    if (m.number == kMsgMountVolume)
      asked_at.push_back(fake_->SleptMilliseconds());
  };
  // Cancelled in the middle of the third wait.
  host_.cancel = [&](int) { return fake_->SleptMilliseconds() >= 25000; };
  EXPECT_EQ(-1, OpenDevice(h.get(), kModeRead));
  EXPECT_EQ(kErrInterrupted, h->last_error);
  EXPECT_EQ(3, fake_->Count(OsCall::kOpenFile));
  EXPECT_EQ((std::vector<uint64_t>{0, 10000, 20000}), asked_at);
  EXPECT_EQ((std::vector<int32_t>{kErrVolume, kMsgMountVolume, kErrVolume,
                                  kMsgMountVolume, kErrVolume,
                                  kMsgMountVolume}),
            host_.InfoNumbers());
  int rounds_traced = 0;
  for (const std::string &line : Trace())
    if (line == "Stripe 0 tapes out of order") ++rounds_traced;
  EXPECT_EQ(3, rounds_traced);
}

TEST_F(VolumeOpenTest, EmptyVolumeFileHasSmashedLabels) {
  fake_->AddFile("C:\\bk\\s1.1");
  auto h = MakeHandle(0, kDev);
  EXPECT_EQ(-1, OpenDevice(h.get(), kModeRead));
  EXPECT_EQ(IO_LABEL_ERROR, h->io_status);
  EXPECT_TRUE(Traced("Stripe 0 hdr1/2 labels smashed"));
  EXPECT_EQ("6920|C:\\bk\\s1|bad label", h.MessageText());
}

TEST_F(VolumeOpenTest, FailedLabelReadIsReplacedByAPlainVolumeError) {
  fake_->AddFile("C:\\bk\\s1.1", RestoreVolume(0, 1));
  fake_->Inject({OsCall::kReadFile, 1, 1, kErrorIoDevice});
  auto h = MakeHandle(0, kDev);
  EXPECT_EQ(-1, OpenDevice(h.get(), kModeRead));
  EXPECT_EQ(IO_OK, h->io_status);
  EXPECT_TRUE(Traced("Stripe 0 Unknown err status reading HDR labels"));
  EXPECT_EQ((std::vector<int32_t>{kErrRead, kErrVolume}), host_.ErrorNumbers());
  EXPECT_EQ("6920|C:\\bk\\s1", h.MessageText());
}

TEST_F(VolumeOpenTest, StackerCountsEveryOpenAndRefusesWithoutTouchingTheDevice) {
  auto h = MakeHandle(0, "devname=C:\\bk\\s1;dbtype=ZDBn;stacker=2");
  ASSERT_EQ(2, h->nvols);
  ASSERT_GE(OpenDevice(h.get(), kModeWrite), 0);
  ASSERT_EQ(0, CloseDevice(h.get(), 0));
  h->volume_number = 2;
  ASSERT_GE(OpenDevice(h.get(), kModeWrite), 0);
  ASSERT_EQ(0, CloseDevice(h.get(), 0));
  EXPECT_EQ(0, h->nvols);
  h->volume_number = 3;
  const int opens = fake_->Count(OsCall::kOpenFile);
  const int queries = fake_->Count(OsCall::kGetDiskFreeSpace);
  EXPECT_EQ(-1, OpenDevice(h.get(), kModeWrite));
  EXPECT_EQ("6939|C:\\bk\\s1", h.MessageText());
  EXPECT_TRUE(Traced("Stripe 0 no vols left. Gen Err"));
  EXPECT_EQ(opens, fake_->Count(OsCall::kOpenFile));
  EXPECT_EQ(queries, fake_->Count(OsCall::kGetDiskFreeSpace));
  EXPECT_FALSE(fake_->HasFile("C:\\bk\\s1.3"));
}

TEST_F(VolumeOpenTest, OpenModeTwoReadsAndWritesNoLabel) {
  auto h = MakeHandle(0, kDev);
  EXPECT_EQ(-1, OpenDevice(h.get(), 2));
  EXPECT_EQ(kErrOpenMode, h->last_error);
  EXPECT_EQ(0, fake_->Count(OsCall::kWriteFile));
  EXPECT_EQ(0, fake_->Count(OsCall::kReadFile));
}

}  // namespace
}  // namespace kor
