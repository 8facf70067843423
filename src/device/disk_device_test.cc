// Tests of the disk volume open and the free-space checks.
//
// Strategy: the fake OS layer holds the volume files, answers free-space
// queries and runs a virtual clock, so waits are measured in virtual
// seconds and free space can come back "while" the library sleeps
// (on_sleep).  Errors are read from the recording host callbacks with their
// arguments, which name the file actually opened and the fake's system
// text ("system text <code>").
#include "device/disk_device.h"

#include <gtest/gtest.h>

#include "diag/error_report.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

using testkit::DataPathTest;
using testkit::MakeHandle;

constexpr char kDev[] = "devname=C:\\bk\\s1;dbtype=ZDBn";

class DiskDeviceTest : public DataPathTest {};

TEST_F(DiskDeviceTest, RestoreOpensNumberedVolumeReadOnly) {
  const std::vector<uint8_t> content = {'a', 'b', 'c'};
  fake_->AddFile("C:\\bk\\s1.2", content);
  auto h = MakeHandle(0, kDev);
  h->volume_number = 2;
  ASSERT_EQ(0, OpenDiskDev(h.get(), kModeRead));
  ASSERT_NE(kInvalidOsHandle, h->device_handle);
  // Opened for reading: the content is kept (no truncation) and a write
  // through the handle is refused.
  EXPECT_EQ(content, fake_->FileContent("C:\\bk\\s1.2"));
  uint32_t done = 0, error = 0;
  EXPECT_FALSE(fake_->WriteFile(h->device_handle, "x", 1, &done, &error));
  uint8_t buffer[8];
  ASSERT_TRUE(fake_->ReadFile(h->device_handle, buffer, 8, &done, &error));
  EXPECT_EQ(3u, done);
  EXPECT_TRUE(host_.errors.empty());
  // A restore open makes no free-space query.
  EXPECT_EQ(0, fake_->Count(OsCall::kGetDiskFreeSpace));
}

TEST_F(DiskDeviceTest, MissingRestoreVolumeNamesTheFile) {
  fake_->AddFile("C:\\bk\\s1.1");
  auto h = MakeHandle(0, kDev);
  h->volume_number = 2;
  EXPECT_EQ(-1, OpenDiskDev(h.get(), kModeRead));
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrVolume, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"C:\\bk\\s1.2", "system text 2"}),
            host_.errors[0].args);
  EXPECT_EQ("6920|C:\\bk\\s1.2|system text 2", h.MessageText());
  EXPECT_EQ(2u, h->last_os_error);
  EXPECT_EQ(kErrVolume, h->last_error);
  EXPECT_TRUE(Traced("Stripe 0, Open C:\\bk\\s1.2 failed. lasterr 2"));
}

TEST_F(DiskDeviceTest, BackupCreatesVolumeOneWhenPrefixIsNew) {
  auto h = MakeHandle(0, kDev);
  ASSERT_EQ(0, OpenDiskDev(h.get(), kModeWrite));
  EXPECT_TRUE(fake_->HasFile("C:\\bk\\s1.1"));
  EXPECT_FALSE(fake_->HasFile("C:\\bk\\s1"));
}

TEST_F(DiskDeviceTest, BackupPrefixThatIsADirectoryCreatesNothing) {
  fake_->AddDirectory("C:\\bk\\s1");
  const auto before = fake_->FileNames();
  auto h = MakeHandle(0, kDev);
  EXPECT_EQ(-1, OpenDiskDev(h.get(), kModeWrite));
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrPrefixIsDirectory, host_.errors[0].number);
  EXPECT_EQ(std::vector<std::string>{"C:\\bk\\s1"}, host_.errors[0].args);
  EXPECT_EQ(before, fake_->FileNames());
  EXPECT_EQ(0, fake_->Count(OsCall::kOpenFile));
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
}

TEST_F(DiskDeviceTest, FreeSpaceQueryFailureIsReportedForDirectoryThenDevice) {
  fake_->Inject({OsCall::kGetDiskFreeSpace, 1, 1, kErrorAccessDenied});
  auto h = MakeHandle(0, kDev);
  EXPECT_EQ(-1, OpenDiskDev(h.get(), kModeWrite));
  ASSERT_EQ(2u, host_.errors.size());
  EXPECT_EQ(kErrFreeSpace, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"C:\\bk", "system text 5"}),
            host_.errors[0].args);
  EXPECT_EQ(kErrFreeSpace, host_.errors[1].number);
  EXPECT_EQ((std::vector<std::string>{"C:\\bk\\s1", "system text 5"}),
            host_.errors[1].args);
  // The second report is what the caller's buffer keeps.
  EXPECT_EQ("6929|C:\\bk\\s1|system text 5", h.MessageText());
  EXPECT_EQ(static_cast<int32_t>(h.MessageText().size()), h.message->length);
  EXPECT_FALSE(fake_->HasFile("C:\\bk\\s1.1"));
  EXPECT_EQ(0, fake_->Count(OsCall::kOpenFile));
}

TEST_F(DiskDeviceTest, BackupOpenGoesAheadOnAShortDisk) {
  fake_->SetFreeSpace(100);
  auto h = MakeHandle(0, kDev);
  EXPECT_EQ(0, OpenDiskDev(h.get(), kModeWrite));
  EXPECT_EQ(0u, fake_->SleptMilliseconds());
}

TEST_F(DiskDeviceTest, WaitEndsOnlyWhenFreeSpaceExceedsTheRequirement) {
  auto h = MakeHandle(0, "devname=C:\\bk\\s1;dbtype=ZDBn;reqfreekb=8");
  fake_->SetFreeSpace(8 * 1024);  // equal: still too little
  fake_->on_sleep = [](FakeOs &os) {
    if (os.SleptMilliseconds() == 30000) os.SetFreeSpace(8 * 1024 + 1);
  };
  EXPECT_EQ(0, CheckFreeSpace(h.get(), true));
  // Three 10-second waits in one-second steps, each preceded by a poll.
  EXPECT_EQ(30000u, fake_->SleptMilliseconds());
  EXPECT_EQ(30, fake_->SleepCalls());
  EXPECT_EQ(30, host_.cancel_polls);
  EXPECT_EQ(4, fake_->Count(OsCall::kGetDiskFreeSpace));
  EXPECT_TRUE(host_.errors.empty());
}

TEST_F(DiskDeviceTest, HostCancelEndsTheWaitWithoutAReport) {
  auto h = MakeHandle(0, kDev);
  fake_->SetFreeSpace(0);
  host_.cancel = [](int poll) { return poll == 16; };
  EXPECT_EQ(-1, CheckFreeSpace(h.get(), true));
  EXPECT_EQ(15000u, fake_->SleptMilliseconds());
  EXPECT_EQ(2, fake_->Count(OsCall::kGetDiskFreeSpace));
  EXPECT_TRUE(host_.errors.empty());
  EXPECT_EQ(0, h->last_error);
}

TEST_F(DiskDeviceTest, LargeRequirementIsComparedInSixtyFourBits) {
  // 4194305 KB is 4 GiB + 1 KB: a 32-bit product would wrap to 1 KB.
  auto h = MakeHandle(0, "devname=C:\\bk\\s1;dbtype=ZDBn;reqfreekb=4194305");
  const uint64_t required = uint64_t{4194305} * 1024;
  fake_->SetFreeSpace(required);
  fake_->on_sleep = [required](FakeOs &os) {
    if (os.SleptMilliseconds() == 10000) os.SetFreeSpace(required + 1);
  };
  EXPECT_EQ(0, CheckFreeSpace(h.get(), true));
  EXPECT_EQ(10000u, fake_->SleptMilliseconds());
}

TEST_F(DiskDeviceTest, FreeSpaceFailureDuringWaitEndsIt) {
  auto h = MakeHandle(0, kDev);
  fake_->SetFreeSpace(0);
  fake_->Inject({OsCall::kGetDiskFreeSpace, 2, 1, kErrorNotReady});
  EXPECT_EQ(-1, CheckFreeSpace(h.get(), true));
  EXPECT_EQ(10000u, fake_->SleptMilliseconds());
  EXPECT_EQ((std::vector<int32_t>{kErrFreeSpace, kErrFreeSpace}),
            host_.ErrorNumbers());
  EXPECT_EQ(kErrorNotReady, h->last_os_error);
}

TEST_F(DiskDeviceTest, OpenModeOtherThanReadOrWriteOpensNothing) {
  auto h = MakeHandle(0, kDev);
  EXPECT_EQ(-1, OpenDiskDev(h.get(), 2));
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrOpenMode, host_.errors[0].number);
  EXPECT_EQ("6923", h.MessageText());
  EXPECT_EQ(0, fake_->Count(OsCall::kOpenFile));
  EXPECT_TRUE(fake_->FileNames().empty());
  EXPECT_EQ(kInvalidOsHandle, h->device_handle);
}

TEST_F(DiskDeviceTest, CancelledHostRefusesTheOpen) {
  auto h = MakeHandle(0, kDev);
  host_.cancel = [](int) { return true; };
  EXPECT_EQ(-1, OpenDiskDev(h.get(), kModeWrite));
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrInterrupted, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"C:\\bk\\s1", "interrup received"}),
            host_.errors[0].args);
  EXPECT_EQ(0, fake_->Count(OsCall::kOpenFile));
}

}  // namespace
}  // namespace kor
