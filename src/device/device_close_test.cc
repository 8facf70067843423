// Tests of closing a volume: disk files and fake tape drives.
//
// Strategy: the device handle is opened straight through the fake OS layer
// (a volume file, or a fake tape drive with one cartridge), then closed
// with faults injected into CloseHandle, WriteTapemarks and UnloadTape.
// What is checked is what the host and the drive see afterwards: the
// handle's state, the errors raised, the tape marks on the cartridge,
// whether the cartridge is still loaded, and the trace lines.
#include "device/device_close.h"

#include <gtest/gtest.h>

#include "diag/error_report.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

using testkit::DataPathTest;
using testkit::MakeHandle;
using testkit::OpenTapeHandle;

constexpr char kDiskDev[] = "devname=C:\\bk\\s1;dbtype=ZDBn";
constexpr char kTapeDev[] = "devname=\\\\.\\TAPE0;dbtype=ZDBn";
constexpr char kTapeName[] = "\\\\.\\TAPE0";

class DeviceCloseTest : public DataPathTest {
 protected:
  testkit::TestStripe OpenDisk() {
    auto h = MakeHandle(0, kDiskDev);
    uint32_t error = 0;
    h->device_handle = fake_->OpenFile("C:\\bk\\s1.1", kGenericWrite,
                                       kShareNone, kCreateAlways, &error);
    EXPECT_NE(kInvalidOsHandle, h->device_handle);
    fake_->ClearTrace();
    return h;
  }

  testkit::TestStripe OpenTape() {
    FakeTapeDrive &drive = fake_->AddTapeDrive(kTapeName);
    drive.cartridges.resize(1);
    drive.loaded = 0;
    auto h = MakeHandle(0, kTapeDev);
    EXPECT_EQ(MEDIA_TAPE, h->media_type);
    EXPECT_TRUE(OpenTapeHandle(h.get()));
    fake_->ClearTrace();
    return h;
  }

  int TapeMarks() {
    int marks = 0;
    for (const auto &record : fake_->TapeDrive(kTapeName).cartridges[0].records)
      marks += record.tapemark ? 1 : 0;
    return marks;
  }
};

TEST_F(DeviceCloseTest, SecondCloseFindsNothingOpen) {
  auto h = OpenDisk();
  EXPECT_EQ(0, CloseDevice(h.get(), 0));
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  EXPECT_EQ(0, fake_->OpenHandleCount());
  EXPECT_TRUE(Traced("Stripe 0 close OK"));
  EXPECT_EQ(0, CloseDevice(h.get(), 0));
  EXPECT_TRUE(Traced("Stripe 0 close C:\\bk\\s1 not open"));
  EXPECT_EQ(1, fake_->Count(OsCall::kCloseHandle));
  EXPECT_TRUE(host_.errors.empty());
}

TEST_F(DeviceCloseTest, DiskCloseIgnoresTheFilemarkRequest) {
  auto h = OpenDisk();
  EXPECT_EQ(0, CloseDevice(h.get(), 1));
  EXPECT_EQ(0, fake_->Count(OsCall::kWriteTapemarks));
  EXPECT_EQ(0, fake_->Count(OsCall::kUnloadTape));
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
}

TEST_F(DeviceCloseTest, InvalidHandleAfterAnInterruptedCloseCountsAsClosed) {
  auto h = OpenDisk();
  fake_->Inject({OsCall::kCloseHandle, 1, 1, kErrorOperationAborted});
  fake_->Inject({OsCall::kCloseHandle, 2, 1, kErrorInvalidHandle});
  EXPECT_EQ(0, CloseDeviceFile(h.get()));
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  EXPECT_EQ(2, fake_->Count(OsCall::kCloseHandle));
  EXPECT_TRUE(host_.errors.empty());
}

TEST_F(DeviceCloseTest, InvalidHandleOnTheFirstAttemptIsAFailure) {
  auto h = OpenDisk();
  const OsHandle open = h->device_handle;
  fake_->Inject({OsCall::kCloseHandle, 1, 1, kErrorInvalidHandle});
  EXPECT_EQ(-1, CloseDeviceFile(h.get()));
  EXPECT_EQ(open, h->device_handle);
  EXPECT_EQ(kErrorInvalidHandle, h->last_os_error);
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrClose, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"C:\\bk\\s1", "system text 6"}),
            host_.errors[0].args);
  EXPECT_TRUE(Traced("Stripe 0 close failed lasterr 6"));
  EXPECT_EQ(1, fake_->Count(OsCall::kCloseHandle));
}

TEST_F(DeviceCloseTest, EndlesslyInterruptedCloseGivesUp) {
  auto h = OpenDisk();
  const OsHandle open = h->device_handle;
  fake_->Inject({OsCall::kCloseHandle, 1, -1, kErrorOperationAborted});
  EXPECT_EQ(-1, CloseDeviceFile(h.get()));
  EXPECT_EQ(open, h->device_handle);
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrClose, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"C:\\bk\\s1", "system text 995"}),
            host_.errors[0].args);
  EXPECT_GT(fake_->Count(OsCall::kCloseHandle), 1);
  EXPECT_LE(fake_->Count(OsCall::kCloseHandle), 1000);
}

TEST_F(DeviceCloseTest, TapeCloseWithFilemarksWritesTwoMarksAndUnloads) {
  fake_->SetEnv("KORDBG", "72");  // 0x08 tape, 0x40 volume
  auto h = OpenTape();
  EXPECT_EQ(0, CloseDevice(h.get(), 1));
  EXPECT_EQ(2, TapeMarks());
  EXPECT_EQ(-1, fake_->TapeDrive(kTapeName).loaded);
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  EXPECT_EQ(0, fake_->OpenHandleCount());
  EXPECT_EQ((std::vector<std::string>{"Stripe 0 CloseTapeDevice WEOF? Y",
                                      "Stripe 0 Wrote 2 EOF marks",
                                      "Stripe 0 Did REWOFFL",
                                      "Stripe 0 close OK"}),
            Trace());
  EXPECT_TRUE(host_.errors.empty());
}

TEST_F(DeviceCloseTest, TapeCloseWithoutFilemarksOnlyUnloads) {
  fake_->SetEnv("KORDBG", "8");
  auto h = OpenTape();
  EXPECT_EQ(0, CloseDevice(h.get(), 0));
  EXPECT_EQ(0, TapeMarks());
  EXPECT_EQ(-1, fake_->TapeDrive(kTapeName).loaded);
  EXPECT_EQ((std::vector<std::string>{"Stripe 0 CloseTapeDevice WEOF? N",
                                      "Stripe 0 Did REWOFFL"}),
            Trace());
}

// A tape open that failed has already given the drive back; closing the
// stripe then must not mark or unload anything, nor replace the reason the
// host is given with an error about the missing handle.
TEST_F(DeviceCloseTest, TapeCloseWithNothingOpenKeepsTheReason) {
  auto h = OpenTape();
  ASSERT_EQ(0, CloseDeviceFile(h.get()));
  RaiseError(h.get(), kErrInterrupted, {h->devname, "write protected"});
  EXPECT_EQ(0, CloseDevice(h.get(), 1));
  EXPECT_EQ(0, fake_->Count(OsCall::kWriteTapemarks));
  EXPECT_EQ(0, fake_->Count(OsCall::kUnloadTape));
  EXPECT_EQ(kErrInterrupted, h->last_error);
}

TEST_F(DeviceCloseTest, DoNotOfflineEvenWhenEmptyKeepsTheCartridgeLoaded) {
  fake_->SetEnv("KOR_DO_NOT_OFFL", "");
  auto h = OpenTape();
  EXPECT_EQ(0, CloseDevice(h.get(), 1));
  EXPECT_EQ(2, TapeMarks());
  EXPECT_EQ(0, fake_->Count(OsCall::kUnloadTape));
  EXPECT_EQ(0, fake_->TapeDrive(kTapeName).loaded);
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
}

TEST_F(DeviceCloseTest, FailedTapemarksStopTheCloseWithTheDeviceOpen) {
  auto h = OpenTape();
  const OsHandle open = h->device_handle;
  fake_->Inject({OsCall::kWriteTapemarks, 1, 1, kErrorEndOfMedia});
  EXPECT_EQ(-1, CloseDevice(h.get(), 1));
  EXPECT_EQ(open, h->device_handle);
  EXPECT_EQ(0, fake_->Count(OsCall::kUnloadTape));
  EXPECT_EQ(0, fake_->Count(OsCall::kCloseHandle));
  EXPECT_EQ(0, fake_->TapeDrive(kTapeName).loaded);
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrTapemark, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"\\\\.\\TAPE0", "system text 1100"}),
            host_.errors[0].args);
  EXPECT_EQ(kErrorEndOfMedia, h->last_os_error);
}

TEST_F(DeviceCloseTest, FailedUnloadIsReportedButTheCloseSucceeds) {
  auto h = OpenTape();
  fake_->Inject({OsCall::kUnloadTape, 1, 1, kErrorNoMediaInDrive});
  EXPECT_EQ(0, CloseDevice(h.get(), 0));
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  EXPECT_EQ(1, fake_->Count(OsCall::kCloseHandle));
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrTapemark, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"\\\\.\\TAPE0", "system text 1112"}),
            host_.errors[0].args);
  EXPECT_EQ(kErrTapemark, h->last_error);
}

// The volume switch of a backup closes with file marks: a cartridge that
// stays loaded would receive the next volume behind its marks.
TEST_F(DeviceCloseTest, FailedUnloadAfterFilemarksFailsTheCloseButReleasesIt) {
  auto h = OpenTape();
  fake_->Inject({OsCall::kUnloadTape, 1, 1, kErrorNoMediaInDrive});
  EXPECT_EQ(-1, CloseDevice(h.get(), 1));
  EXPECT_EQ(2, TapeMarks());
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  EXPECT_EQ(0, fake_->OpenHandleCount());
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrTapemark, host_.errors[0].number);
}

}  // namespace
}  // namespace kor
