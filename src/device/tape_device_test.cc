// Tests of bringing a tape drive into use: waiting for a ready drive,
// checking and setting the block size, write protection, the parameter
// dump.
//
// Strategy: a fake tape drive in the scripted OS layer plays the drive
// (not ready for a number of polls, empty until a cartridge is loaded,
// protected cartridges, block limits), sleeping advances a virtual clock,
// and the host's cancelled callback is scripted by poll number.  A test
// changes the world while time passes through the fake's on_sleep hook, as
// an operator would.  What is checked is the result, the errors and
// operator messages the host receives with their arguments, the virtual
// time spent, the calls made to the drive, and the trace.
#include "device/tape_device.h"

#include <gtest/gtest.h>

#include "device/device_close.h"
#include "diag/error_report.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

using testkit::DataPathTest;
using testkit::HostMessage;
using testkit::MakeHandle;
using testkit::TestStripe;

constexpr char kTapeName[] = "\\\\.\\TAPE0";
constexpr char kTapeDev[] = "devname=\\\\.\\TAPE0;dbtype=ZDBn";

class TapeDeviceTest : public DataPathTest {
 protected:
  // A drive with `cartridges` writable cartridges of 1 MiB, the first one
  // loaded unless `loaded` says otherwise.
  FakeTapeDrive &AddDrive(int cartridges = 1, int loaded = 0) {
    FakeTapeDrive &drive = fake_->AddTapeDrive(kTapeName);
    drive.cartridges.resize(static_cast<size_t>(cartridges));
    for (FakeCartridge &c : drive.cartridges) c.capacity = 1 << 20;
    drive.loaded = loaded;
    return drive;
  }
  FakeTapeDrive &Drive() { return fake_->TapeDrive(kTapeName); }

  // A tape stripe with the given trace bits and extra device-string keys.
  TestStripe Stripe(int32_t trace_mask, const std::string &extra = "") {
    TestStripe s = MakeHandle(
        0, extra.empty() ? kTapeDev : std::string(kTapeDev) + ";" + extra);
    s->trace_mask = trace_mask;
    fake_->ClearTrace();  // the device string's own lines
    return s;
  }

  static HostMessage Msg(int32_t number, std::vector<std::string> args) {
    HostMessage m;
    m.number = number;
    m.args = std::move(args);
    return m;
  }
  static void ExpectMessages(const std::vector<HostMessage> &expect,
                             const std::vector<HostMessage> &got) {
    ASSERT_EQ(expect.size(), got.size());
    for (size_t i = 0; i < expect.size(); ++i) {
      EXPECT_EQ(expect[i].number, got[i].number) << "message " << i;
      EXPECT_EQ(expect[i].args, got[i].args) << "message " << i;
    }
  }
  int TraceCount(const std::string &part) const {
    int n = 0;
    for (const std::string &line : Trace())
      n += line.find(part) != std::string::npos ? 1 : 0;
    return n;
  }
};

TEST_F(TapeDeviceTest, ADriveThatBecomesReadyAfterThreePollsIsWaitedFor) {
  AddDrive().not_ready_polls = 3;
  auto h = Stripe(kTraceTape | kTraceCancel, "blocksize=32768");
  ASSERT_EQ(0, OpenTapeDev(h.get(), kModeWrite));
  EXPECT_NE(kInvalidOsHandle, h->device_handle);
  // Three waits of ten one-second steps, each after closing the device.
  EXPECT_EQ(30000u, fake_->SleptMilliseconds());
  EXPECT_EQ(30, fake_->SleepCalls());
  EXPECT_EQ(4, fake_->Count(OsCall::kOpenFile));
  EXPECT_EQ(4, fake_->Count(OsCall::kGetTapeStatus));
  EXPECT_EQ(3, fake_->Count(OsCall::kCloseHandle));
  EXPECT_EQ(1, fake_->OpenHandleCount());
  EXPECT_EQ(32768u, Drive().block_size);
  EXPECT_TRUE(host_.errors.empty());
  EXPECT_TRUE(host_.infos.empty());
  EXPECT_EQ(1, TraceCount("OpenTapeDev mode"));
  EXPECT_TRUE(Traced("Stripe 0 OpenTapeDev mode 1"));
  EXPECT_TRUE(Traced("Stripe 0 NT blocksize set to 32768"));
  EXPECT_TRUE(Traced("Stripe 0 Tape write protected? N"));
  EXPECT_EQ(0, TraceCount("nterrup"));
}

TEST_F(TapeDeviceTest, AnEmptyDriveIsUsedAtTheFirstPollAfterALoad) {
  AddDrive(1, -1);
  fake_->on_sleep = [](FakeOs &fake) {
    // The operator loads a cartridge 25 seconds in.
    if (fake.SleptMilliseconds() == 25000) fake.TapeDrive(kTapeName).loaded = 0;
  };
  auto h = Stripe(0);
  ASSERT_EQ(0, OpenTapeDev(h.get(), kModeRead));
  EXPECT_EQ(30000u, fake_->SleptMilliseconds());
  EXPECT_EQ(4, fake_->Count(OsCall::kGetTapeStatus));
  // A restore never asks about write protection: the only media query is
  // the one that reads the parameters back after setting the block size.
  EXPECT_EQ(1, fake_->Count(OsCall::kGetTapeMediaParams));
  EXPECT_TRUE(host_.errors.empty());
}

TEST_F(TapeDeviceTest, ACancelEndsEachWait) {
  const std::string dev = "\\\\.\\TAPE0";
  {
    // At the top of the loop, before anything is opened.
    AddDrive();
    auto h = Stripe(kTraceCancel);
    host_.cancel = [](int) { return true; };
    EXPECT_EQ(-1, OpenTapeDev(h.get(), kModeWrite));
    ExpectMessages({Msg(kErrInterrupted, {dev, "interrup received"})},
                   host_.errors);
    EXPECT_EQ(0, fake_->Count(OsCall::kOpenFile));
    EXPECT_TRUE(Traced("Stripe 0 Device \\\\.\\TAPE0 Interrupt Seen"));
    EXPECT_EQ("6932|\\\\.\\TAPE0|interrup received", h.MessageText());
  }
  {
    // During the ten-second wait for a drive that is not ready: poll 1 is
    // the top of the loop, polls 2.. the steps of the wait.
    host_.errors.clear();
    host_.cancel_polls = 0;
    fake_->ClearTrace();
    AddDrive(1, -1);
    auto h = Stripe(kTraceCancel);
    host_.cancel = [](int poll) { return poll == 6; };
    EXPECT_EQ(-1, OpenTapeDev(h.get(), kModeWrite));
    ExpectMessages({Msg(kErrInterrupted, {dev, "interrupt received"})},
                   host_.errors);
    EXPECT_EQ(4000u, fake_->SleptMilliseconds());
    EXPECT_EQ(kInvalidOsHandle, h->device_handle);
    EXPECT_EQ(0, fake_->OpenHandleCount());
    EXPECT_TRUE(
        Traced("Stripe 0 Device \\\\.\\TAPE0 interrupt received during sleep"));
  }
  {
    // During the hundred-second wait after a protected cartridge was
    // handed back: the wait ends, and the cancel is seen at the top.
    host_.errors.clear();
    host_.infos.clear();
    host_.cancel_polls = 0;
    const uint64_t before = fake_->SleptMilliseconds();
    AddDrive().cartridges[0].write_protected = true;
    auto h = Stripe(0);
    host_.cancel = [](int poll) { return poll >= 31; };
    EXPECT_EQ(-1, OpenTapeDev(h.get(), kModeWrite));
    ExpectMessages({Msg(kErrVolume, {dev, "write protected"})}, host_.infos);
    ExpectMessages({Msg(kErrInterrupted, {dev, "interrup received"})},
                   host_.errors);
    EXPECT_EQ(29000u, fake_->SleptMilliseconds() - before);
    EXPECT_EQ(1, fake_->Count(OsCall::kUnloadTape));
  }
}

TEST_F(TapeDeviceTest, AProtectedCartridgeIsHandedBackWhenAttended) {
  FakeTapeDrive &drive = AddDrive(2);
  drive.cartridges[0].write_protected = true;
  fake_->on_sleep = [](FakeOs &fake) {
    // After the eject the operator puts in the writable cartridge.
    if (fake.SleptMilliseconds() == 60000) fake.TapeDrive(kTapeName).loaded = 1;
  };
  auto h = Stripe(kTraceTape);
  ASSERT_EQ(0, OpenTapeDev(h.get(), kModeWrite));
  ExpectMessages({Msg(kErrVolume, {"\\\\.\\TAPE0", "write protected"})},
                 host_.infos);
  EXPECT_TRUE(host_.errors.empty());
  EXPECT_EQ(100000u, fake_->SleptMilliseconds());
  EXPECT_EQ(1, fake_->Count(OsCall::kUnloadTape));
  EXPECT_EQ(1, Drive().loaded);
  EXPECT_TRUE(Traced("Stripe 0 Device \\\\.\\TAPE0 write protected. Retrying"));
  EXPECT_TRUE(Traced("Stripe 0 Tape write protected? Y"));
  EXPECT_TRUE(Traced("Stripe 0 Tape write protected? N"));
  // Open for use, eject, and the final open: one handle left open.
  EXPECT_EQ(1, fake_->OpenHandleCount());
}

TEST_F(TapeDeviceTest, AProtectedCartridgeFailsAnUnattendedBackup) {
  AddDrive().cartridges[0].write_protected = true;
  auto h = Stripe(kTraceTape, "attended=0");
  EXPECT_EQ(-1, OpenTapeDev(h.get(), kModeWrite));
  ExpectMessages({Msg(kErrInterrupted,
                      {"\\\\.\\TAPE0", "write protected. Cannot continue"})},
                 host_.errors);
  EXPECT_TRUE(host_.infos.empty());
  EXPECT_EQ(0u, fake_->SleptMilliseconds());
  // Ejected and closed.
  EXPECT_EQ(-1, Drive().loaded);
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  EXPECT_EQ(0, fake_->OpenHandleCount());
  EXPECT_TRUE(
      Traced("Stripe 0 Device \\\\.\\TAPE0 write protected. Cannot continue"));

  // The same cartridge serves a restore without a word about protection.
  host_.errors.clear();
  Drive().loaded = 0;
  auto r = Stripe(kTraceTape, "attended=0");
  EXPECT_EQ(0, OpenTapeDev(r.get(), kModeRead));
  EXPECT_TRUE(host_.errors.empty());
  EXPECT_EQ(0, Drive().loaded);
}

TEST_F(TapeDeviceTest, TheBlockSizeMustLieWithinTheDrivesLimits) {
  FakeTapeDrive &drive = AddDrive();
  drive.min_block = 1024;
  drive.max_block = 65536;
  for (int32_t size : {1024, 65536}) {
    auto h = Stripe(0, "blocksize=" + std::to_string(size));
    EXPECT_EQ(0, OpenTapeDev(h.get(), kModeWrite)) << size;
    EXPECT_EQ(static_cast<uint32_t>(size), Drive().block_size);
    CloseDeviceFile(h.get());
  }
  EXPECT_TRUE(host_.errors.empty());
  for (int32_t size : {1023, 65537}) {
    host_.errors.clear();
    auto h = Stripe(0, "blocksize=" + std::to_string(size));
    EXPECT_EQ(-1, OpenTapeDev(h.get(), kModeWrite)) << size;
    ExpectMessages({Msg(kErrBlockSizeRange, {"\\\\.\\TAPE0"})}, host_.errors);
    // Not set, and the device left open for the caller to close.
    EXPECT_EQ(65536u, Drive().block_size);
    EXPECT_NE(kInvalidOsHandle, h->device_handle);
    CloseDeviceFile(h.get());
  }
}

TEST_F(TapeDeviceTest, EveryFailingQueryIsReportedWithItsSystemText) {
  const std::string dev = "\\\\.\\TAPE0";
  struct Case {
    Fault fault;
    std::vector<HostMessage> errors;
  };
  const Case cases[] = {
      {{OsCall::kGetTapeDriveParams, 1, 1, kErrorIoDevice},
       {Msg(kErrDriveParams, {dev, "system text 1117"})}},
      {{OsCall::kSetTapeBlockSize, 1, 1, kErrorInvalidParameter},
       {Msg(kErrSetBlockSize, {dev, "system text 87"})}},
      // The read-back after setting the block size.
      {{OsCall::kGetTapeMediaParams, 1, 1, kErrorNoMediaInDrive},
       {Msg(kErrMediaParams, {dev, "system text 1112"})}},
      // The write-protect query: 6927, then 6932 with the device alone.
      {{OsCall::kGetTapeMediaParams, 2, 1, kErrorIoDevice},
       {Msg(kErrMediaParams, {dev, "system text 1117"}),
        Msg(kErrInterrupted, {dev})}},
  };
  for (const Case &c : cases) {
    fake_->ClearFaults();
    AddDrive();
    host_.errors.clear();
    const int before = fake_->Count(c.fault.call);
    Fault fault = c.fault;
    fault.first += before;
    fake_->Inject(fault);
    auto h = Stripe(0);
    EXPECT_EQ(-1, OpenTapeDev(h.get(), kModeWrite));
    ExpectMessages(c.errors, host_.errors);
    EXPECT_EQ(c.fault.error, h->last_os_error);
    EXPECT_EQ(0u, fake_->SleptMilliseconds());
    CloseDeviceFile(h.get());
  }
  // The last error raised is what the host's buffer holds.
  EXPECT_EQ(kErrInterrupted, host_.errors.back().number);
}

TEST_F(TapeDeviceTest, TheParameterDumpIsTracedUnderItsOwnBit) {
  FakeTapeDrive &drive = AddDrive();
  drive.min_block = 512;
  drive.max_block = 262144;
  auto h = Stripe(kTraceTapeInfo);
  ASSERT_EQ(0, OpenTapeDev(h.get(), kModeRead));
  const std::vector<std::string> expect = {
      "Stripe 0 Tape Media Info for WinNT",
      "NativeCapacity 1048576 Remaining 1048576 BlkSize 0 PartCount 1 "
      "WriteProt n",
      "Stripe 0 Tape Drive Info for WinNT",
      "ECC n Compression n Padding n RptSetMks n",
      "DefBS 65536 MaxBS 262144 MinBS 512 MaxPC 1 Fl 0 Fh 0",
  };
  EXPECT_EQ(expect, Trace());
  CloseDeviceFile(h.get());

  // Another bit alone: the queries are made, nothing is printed.
  fake_->ClearTrace();
  const int media = fake_->Count(OsCall::kGetTapeMediaParams);
  const int drives = fake_->Count(OsCall::kGetTapeDriveParams);
  auto quiet = Stripe(kTraceVolume);
  ASSERT_EQ(0, OpenTapeDev(quiet.get(), kModeRead));
  EXPECT_EQ(media + 2, fake_->Count(OsCall::kGetTapeMediaParams));
  EXPECT_EQ(drives + 2, fake_->Count(OsCall::kGetTapeDriveParams));
  for (const std::string &line : Trace())
    EXPECT_EQ(std::string::npos, line.find("Info for WinNT")) << line;
  CloseDeviceFile(quiet.get());

  // No bit at all: nothing is queried for the dump.
  auto none = Stripe(0);
  ASSERT_EQ(0, OpenTapeDev(none.get(), kModeRead));
  EXPECT_EQ(media + 3, fake_->Count(OsCall::kGetTapeMediaParams));
  EXPECT_EQ(drives + 3, fake_->Count(OsCall::kGetTapeDriveParams));

  // Failed queries only leave their lines out.
  fake_->ClearTrace();
  fake_->Inject({OsCall::kGetTapeMediaParams,
                 fake_->Count(OsCall::kGetTapeMediaParams) + 1, 1, 1117});
  auto partial = Stripe(kTraceTapeInfo);
  ASSERT_EQ(0, OpenTapeDev(partial.get(), kModeRead));
  EXPECT_EQ(0, TraceCount("Media Info"));
  EXPECT_EQ(0, TraceCount("NativeCapacity"));
  EXPECT_TRUE(Traced("Stripe 0 Tape Drive Info for WinNT"));
  EXPECT_TRUE(Traced("DefBS 65536 MaxBS 262144 MinBS 512 MaxPC 1 Fl 0 Fh 0"));
  EXPECT_TRUE(host_.errors.empty());
}

TEST_F(TapeDeviceTest, AnOpenModeOtherThanReadOrWriteNeverSucceeds) {
  AddDrive();
  auto h = Stripe(0);
  host_.cancel = [](int poll) { return poll == 23; };
  EXPECT_EQ(-1, OpenTapeDev(h.get(), 2));
  // Two attempts, each refused with 6923 and followed by a wait, then the
  // cancel at the top of the loop.
  EXPECT_EQ(std::vector<int32_t>({kErrOpenMode, kErrOpenMode, kErrInterrupted}),
            host_.ErrorNumbers());
  EXPECT_EQ(20000u, fake_->SleptMilliseconds());
  EXPECT_EQ(0, fake_->Count(OsCall::kOpenFile));
}

TEST_F(TapeDeviceTest, ADeviceThatCannotBeDrivenIsNotWaitedFor) {
  AddDrive();
  fake_->Inject({OsCall::kOpenFile, 1, -1, kErrorNotSupported});
  auto h = Stripe(0);
  EXPECT_EQ(-1, OpenTapeDev(h.get(), kModeWrite));
  ExpectMessages({Msg(kErrVolume, {"\\\\.\\TAPE0", "system text 50"})},
                 host_.errors);
  EXPECT_EQ(0u, fake_->SleptMilliseconds());
  // A drive that cannot be opened for another reason is retried.
  fake_->ClearFaults();
  host_.errors.clear();
  fake_->Inject({OsCall::kOpenFile, fake_->Count(OsCall::kOpenFile) + 1, 2,
                 kErrorSharingViolation});
  auto again = Stripe(0);
  EXPECT_EQ(0, OpenTapeDev(again.get(), kModeWrite));
  EXPECT_EQ(std::vector<int32_t>({kErrVolume, kErrVolume}),
            host_.ErrorNumbers());
  EXPECT_EQ(20000u, fake_->SleptMilliseconds());
}

}  // namespace
}  // namespace kor
