// Tests of moving a stripe to its next volume.
//
// Strategy: tape stripes run on a fake drive with several cartridges.  In
// manual mode an unload leaves the drive empty and the test's operator
// (the info callback) loads the next cartridge when asked; in stacker mode
// the drive loads it by itself.  Backups are driven through WriteRequest
// with a budget of a few blocks per volume and restores through
// ReadRequest, so each switch is seen as the host sees it: the cartridges'
// records (labels, end-of-volume block, file marks), the operator
// messages with their volume numbers, the errors, and the trace row chosen
// by direction, attended and nvols.  Disk stripes switch through volume
// files and must never ask anybody.
#include "volume/media_switch.h"

#include <gtest/gtest.h>

#include <cstring>

#include "datapath/read_path.h"
#include "datapath/write_path.h"
#include "device/device_close.h"
#include "diag/error_report.h"
#include "support/handle_fixture.h"
#include "volume/volume_open.h"

namespace kor {
namespace {

using testkit::DataPathTest;
using testkit::HostMessage;
using testkit::MakeHandle;
using testkit::PatternBytes;

constexpr char kTapeName[] = "\\\\.\\TAPE0";
constexpr char kTapeDev[] = "devname=\\\\.\\TAPE0;dbtype=ZDBn;blocksize=1024";
constexpr int32_t kBlock = 1024;
// Header labels (three blocks) and two data blocks; the end-of-volume
// labels skip the budget.
constexpr uint64_t kTapeCapacity = 5 * kBlock;

// One tape block holding `bytes` at its front.
FakeCartridge::Record Block(const std::vector<uint8_t> &bytes) {
  FakeCartridge::Record record;
  record.data.assign(kBlock, 0);
  std::memcpy(record.data.data(), bytes.data(), bytes.size());
  return record;
}

std::vector<uint8_t> Front(const FakeCartridge::Record &record, size_t n) {
  return std::vector<uint8_t>(record.data.begin(), record.data.begin() + n);
}

class MediaSwitchTest : public DataPathTest {
 protected:
  MediaSwitchTest() { fake_->SetEnv("KORDBG", "72"); }  // 0x08 | 0x40

  FakeTapeDrive &Drive() { return fake_->TapeDrive(kTapeName); }

  // A drive with `count` empty cartridges, the first one loaded.
  void AddDrive(int count, bool stacker) {
    FakeTapeDrive &drive = fake_->AddTapeDrive(kTapeName);
    drive.cartridges.resize(static_cast<size_t>(count));
    drive.stacker = stacker;
    drive.loaded = 0;
  }

  // A tape backup stripe with volume 1 open and labelled.
  testkit::TestStripe TapeBackup(const std::string &extra = "") {
    auto h = MakeHandle(0, kTapeDev + extra);
    h->capacity = kTapeCapacity;
    EXPECT_GE(OpenDevice(h.get(), kModeWrite), 0) << h.MessageText();
    fake_->ClearTrace();
    return h;
  }

  // Writes `count` one-block requests; the result of the last.
  int32_t WriteBlocks(const testkit::TestStripe &h, int count) {
    int32_t result = 0;
    for (int i = 0; i < count && result == 0; ++i) {
      const std::vector<uint8_t> data =
          PatternBytes(kBlock, static_cast<uint32_t>(i));
      result = WriteRequest(h.get(), data.data(), kBlock);
    }
    return result;
  }

  // Fills cartridge `index` as a backup volume of stripe 0: header labels,
  // the data blocks, then the end-of-volume block.
  void LayOutVolume(size_t index, int32_t volume,
                    const std::vector<std::vector<uint8_t>> &blocks) {
    FakeCartridge &cartridge = Drive().cartridges[index];
    const std::vector<uint8_t> labels = testkit::HeaderLabelBytes(0, volume);
    cartridge.records.push_back(Block({labels.begin(), labels.begin() + 80}));
    cartridge.records.push_back(
        Block({labels.begin() + 80, labels.begin() + 148}));
    cartridge.records.push_back(Block({labels.begin() + 148, labels.end()}));
    for (const auto &bytes : blocks) cartridge.records.push_back(Block(bytes));
    cartridge.records.push_back(Block(testkit::EovRecordBytes()));
  }

  // True when the lines appear in the trace in this order (others may lie
  // between them).
  bool TracedInOrder(const std::vector<std::string> &lines) {
    size_t at = 0;
    for (const std::string &line : Trace())
      if (at < lines.size() && line == lines[at]) ++at;
    return at == lines.size();
  }
};

TEST_F(MediaSwitchTest, AttendedTapeBackupAsksForEachNextTape) {
  AddDrive(2, false);
  auto h = TapeBackup();
  int unloads_when_asked = -1;
  host_.on_info = [&](const HostMessage &m) {
    if (m.number != kMsgMountVolume) return;
    unloads_when_asked = fake_->Count(OsCall::kUnloadTape);
    Drive().loaded = 1;  // the operator mounts the next cartridge
    Drive().position = 0;
  };
  ASSERT_EQ(0, WriteBlocks(h, 3)) << h.MessageText();

  // Volume 1: labels, two data blocks, end-of-volume labels, two marks.
  const auto &first = Drive().cartridges[0].records;
  ASSERT_EQ(8u, first.size());
  EXPECT_EQ(testkit::EovRecordBytes(), Front(first[5], 160));
  EXPECT_TRUE(first[6].tapemark);
  EXPECT_TRUE(first[7].tapemark);
  // Volume 2 is labelled with its own number before the request.
  const auto &second = Drive().cartridges[1].records;
  ASSERT_EQ(4u, second.size());
  std::vector<uint8_t> labels = Front(second[0], 80);
  testkit::Append(&labels, Front(second[1], 68));
  testkit::Append(&labels, Front(second[2], 80));
  EXPECT_EQ(testkit::HeaderLabelBytes(0, 2), labels);
  EXPECT_EQ(PatternBytes(kBlock, 2), second[3].data);

  EXPECT_EQ(1, unloads_when_asked);  // asked only once the tape was out
  ASSERT_EQ(2u, host_.infos.size());
  EXPECT_EQ(kMsgMountVolume, host_.infos[0].number);
  EXPECT_EQ((std::vector<std::string>{"2", kTapeName}), host_.infos[0].args);
  EXPECT_EQ(kMsgBackupVolume, host_.infos[1].number);
  EXPECT_EQ((std::vector<std::string>{"2", kTapeName}), host_.infos[1].args);
  EXPECT_TRUE(TracedInOrder({
      "Stripe 0 Switching Media (mode 1)",
      "Stripe 0 Writing EOV labels",
      "Stripe 0 CloseTapeDevice WEOF? Y",
      "Stripe 0 Wrote 2 EOF marks",
      "Stripe 0 Did REWOFFL",
      "Stripe 0 CloseDevice returned 0",
      "Stripe 0 WR attended ON, no vols. ReOpen mode 1 Req Vol",
      "Stripe 0 OpenDevice mode 1",
      "Stripe 0 Reopen sts 80",
  }));
  EXPECT_EQ(2, h->volume_number);
  EXPECT_EQ(IO_OK, h->io_status);
  EXPECT_TRUE(host_.errors.empty());
}

TEST_F(MediaSwitchTest, FailedReopenLeavesTheVolumeNumberRaised) {
  AddDrive(2, false);
  auto h = TapeBackup();
  // Nobody mounts a tape; the host gives up once it has been asked.
  host_.cancel = [&](int) { return !host_.infos.empty(); };
  EXPECT_EQ(-1, WriteBlocks(h, 3));
  EXPECT_EQ("6932|\\\\.\\TAPE0|interrup received", h.MessageText());
  EXPECT_TRUE(Traced("Stripe 0 Reopen sts -1"));
  EXPECT_EQ(2, h->volume_number);
  EXPECT_EQ(IO_CAPACITY_FULL, h->io_status);
  EXPECT_EQ((std::vector<int32_t>{kMsgMountVolume}), host_.InfoNumbers());
}

TEST_F(MediaSwitchTest, UnattendedStackerGivesTwoSilentSwitchesOfThree) {
  AddDrive(3, true);
  auto h = TapeBackup(";attended=0;stacker=3");
  EXPECT_EQ(-1, WriteBlocks(h, 7));
  EXPECT_TRUE(Traced("Stripe 0 WR attended OFF 2 vols left. ReOpen mode 1"));
  EXPECT_TRUE(Traced("Stripe 0 WR attended OFF 1 vols left. ReOpen mode 1"));
  EXPECT_TRUE(Traced("Stripe 0 WR attended OFF no vols gen err"));
  EXPECT_EQ("6936|\\\\.\\TAPE0", h.MessageText());
  EXPECT_TRUE(host_.infos.empty());
  EXPECT_EQ(4, h->volume_number);
  // Every cartridge was finished properly, the third one too.
  for (const auto &cartridge : Drive().cartridges)
    EXPECT_TRUE(cartridge.records.back().tapemark);
}

TEST_F(MediaSwitchTest, AttendedStackerAsksWhenEmptyAndIsThenRefused) {
  AddDrive(3, true);
  auto h = TapeBackup(";stacker=2");
  EXPECT_EQ(-1, WriteBlocks(h, 5));
  EXPECT_TRUE(Traced("Stripe 0 WR attended ON 1 vols left. ReOpen mode 1"));
  EXPECT_TRUE(
      Traced("Stripe 0 WR attended ON, no vols. ReOpen mode 1 Req Vol"));
  // Volume 2 was had silently; volume 3 was asked for and refused.
  EXPECT_EQ((std::vector<int32_t>{kMsgMountVolume}), host_.InfoNumbers());
  EXPECT_EQ((std::vector<std::string>{"3", kTapeName}), host_.infos[0].args);
  EXPECT_EQ("6939|\\\\.\\TAPE0", h.MessageText());
  EXPECT_EQ(3, h->volume_number);
}

TEST_F(MediaSwitchTest, UnattendedTapeRestoreStopsAtTheFirstEndOfVolume) {
  AddDrive(2, true);
  LayOutVolume(0, 1, {PatternBytes(kBlock, 0)});
  LayOutVolume(1, 2, {PatternBytes(kBlock, 1)});
  auto h = MakeHandle(0, kTapeDev + std::string(";attended=0;stacker=3"));
  ASSERT_EQ(0, OpenDevice(h.get(), kModeRead)) << h.MessageText();
  std::vector<uint8_t> buffer(kBlock);
  ASSERT_EQ(0, ReadRequest(h.get(), buffer.data(), kBlock));
  EXPECT_EQ(PatternBytes(kBlock, 0), buffer);
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), kBlock));
  EXPECT_EQ("6936|\\\\.\\TAPE0", h.MessageText());
  EXPECT_TRUE(Traced("Stripe 0 RD attended OFF no vols gen err"));
  EXPECT_TRUE(Traced("Stripe 0 CloseTapeDevice WEOF? N"));
  EXPECT_EQ(0, fake_->Count(OsCall::kWriteTapemarks));
  EXPECT_TRUE(host_.infos.empty());
  EXPECT_EQ(IO_AT_EOV, h->io_status);
  EXPECT_EQ(2, h->volume_number);
}

TEST_F(MediaSwitchTest, AttendedTapeRestoreAsksThenAnnouncesTheNextVolume) {
  AddDrive(2, true);
  LayOutVolume(0, 1, {PatternBytes(kBlock, 0)});
  LayOutVolume(1, 2, {PatternBytes(kBlock, 1)});
  auto h = MakeHandle(0, kTapeDev);
  ASSERT_EQ(0, OpenDevice(h.get(), kModeRead)) << h.MessageText();
  std::vector<uint8_t> buffer(kBlock);
  ASSERT_EQ(0, ReadRequest(h.get(), buffer.data(), kBlock));
  ASSERT_EQ(0, ReadRequest(h.get(), buffer.data(), kBlock)) << h.MessageText();
  EXPECT_EQ(PatternBytes(kBlock, 1), buffer);
  EXPECT_TRUE(Traced("Stripe 0 RD attended ON. ReOpen mode 0 Req Vol"));
  ASSERT_EQ(2u, host_.infos.size());
  EXPECT_EQ(kMsgMountVolume, host_.infos[0].number);
  EXPECT_EQ((std::vector<std::string>{"2", kTapeName}), host_.infos[0].args);
  EXPECT_EQ(kMsgRestoreVolume, host_.infos[1].number);
  EXPECT_EQ((std::vector<std::string>{"2", kTapeName}), host_.infos[1].args);
  EXPECT_EQ(0, fake_->Count(OsCall::kWriteTapemarks));
  EXPECT_EQ(2, h->volume_number);
  EXPECT_EQ(IO_OK, h->io_status);
}

TEST_F(MediaSwitchTest, DiskSwitchesWithoutOperatorMessages) {
  for (int attended : {1, 0}) {
    SCOPED_TRACE(attended);
    ScopedFakeOs fake;
    auto h = MakeHandle(0, "devname=C:\\bk\\s1;dbtype=ZDBn;attended=" +
                               std::to_string(attended));
    h->capacity = 1000;
    ASSERT_GE(OpenDevice(h.get(), kModeWrite), 0);
    const std::vector<uint8_t> data = PatternBytes(700, 2);
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 700));
    EXPECT_EQ(3, h->volume_number);
    EXPECT_TRUE(fake->HasFile("C:\\bk\\s1.3"));
    EXPECT_TRUE(host_.infos.empty());
    EXPECT_TRUE(host_.errors.empty());
  }
}

TEST_F(MediaSwitchTest, DiskSwitchCountsStackerVolumes) {
  auto h = MakeHandle(0, "devname=C:\\bk\\s1;dbtype=ZDBn;stacker=2");
  h->capacity = 1000;
  ASSERT_GE(OpenDevice(h.get(), kModeWrite), 0);
  const std::vector<uint8_t> data = PatternBytes(700, 3);
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 700));
  ASSERT_EQ(0, WriteRequest(h.get(), data.data(), 700));
  EXPECT_EQ(-1, WriteRequest(h.get(), data.data(), 700));
  EXPECT_EQ("6939|C:\\bk\\s1", h.MessageText());
  EXPECT_EQ(3, h->volume_number);
  EXPECT_FALSE(fake_->HasFile("C:\\bk\\s1.3"));
  EXPECT_TRUE(host_.infos.empty());
}

}  // namespace
}  // namespace kor
