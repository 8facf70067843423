// Guards the fake OS layer's own semantics that the library's tests build
// on: fault counting and short transfers, the interrupted close that still
// closes, sharing refusals, tape records and marks with capacity, write
// protection and the stacker, and the virtual clock.  Plain bookkeeping
// (file lists, environment) is left to the tests that use it.
#include "os/fake_os.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/win32_codes.h"

namespace kor {
namespace {

std::vector<uint8_t> Bytes(const std::string &text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

constexpr char kTape[] = "\\\\.\\TAPE0";

OsHandle OpenTape(FakeOs &fake, uint32_t *error) {
  return fake.OpenFile(kTape, kGenericRead | kGenericWrite, kShareReadWrite,
                       kOpenExisting, error);
}

TEST(FakeOsTest, FaultsCountOccurrencesOverTheWholeRun) {
  FakeOs fake;
  fake.Inject({OsCall::kWriteFile, 2, 2, kErrorDiskFull});
  Fault short_write{OsCall::kWriteFile, 5};
  short_write.transfer = 3;
  fake.Inject(short_write);
  uint32_t error = 0, done = 0;
  const OsHandle a = fake.OpenFile("C:\\a.1", kGenericWrite, kShareNone,
                                   kCreateAlways, &error);
  const OsHandle b = fake.OpenFile("C:\\b.1", kGenericWrite, kShareNone,
                                   kCreateAlways, &error);
  ASSERT_NE(kInvalidOsHandle, a);
  ASSERT_NE(kInvalidOsHandle, b);
  EXPECT_NE(a, b);
  // Occurrences are counted across handles: 1 ok, 2 and 3 fail, 4 ok, 5
  // moves 3 bytes, 6 ok.
  EXPECT_TRUE(fake.WriteFile(a, "11", 2, &done, &error));
  EXPECT_FALSE(fake.WriteFile(b, "22", 2, &done, &error));
  EXPECT_EQ(kErrorDiskFull, error);
  EXPECT_EQ(0u, done);
  EXPECT_FALSE(fake.WriteFile(a, "33", 2, &done, &error));
  EXPECT_TRUE(fake.WriteFile(b, "44", 2, &done, &error));
  EXPECT_TRUE(fake.WriteFile(a, "555555", 6, &done, &error));
  EXPECT_EQ(3u, done);
  EXPECT_TRUE(fake.WriteFile(a, "66", 2, &done, &error));
  EXPECT_EQ(6, fake.Count(OsCall::kWriteFile));
  EXPECT_EQ(Bytes("1155566"), fake.FileContent("C:\\a.1"));
  EXPECT_EQ(Bytes("44"), fake.FileContent("C:\\b.1"));

  // Reads: a transfer fault gives fewer bytes; an error may be 0.
  Fault short_read{OsCall::kReadFile, 1};
  short_read.transfer = 2;
  fake.Inject(short_read);
  fake.Inject({OsCall::kReadFile, 2, -1, 0});
  const OsHandle r =
      fake.OpenFile("C:\\b.1", kGenericRead, kShareNone, kOpenExisting,
                    &error);
  EXPECT_EQ(kErrorSharingViolation, error);
  EXPECT_EQ(kInvalidOsHandle, r);
  ASSERT_TRUE(fake.CloseHandle(b, &error));
  const OsHandle r2 = fake.OpenFile("C:\\a.1", kGenericRead, kShareReadWrite,
                                    kOpenExisting, &error);
  EXPECT_EQ(kErrorSharingViolation, error);  // a is still open for writing
  EXPECT_EQ(kInvalidOsHandle, r2);
  ASSERT_TRUE(fake.CloseHandle(a, &error));
  const OsHandle r3 = fake.OpenFile("C:\\a.1", kGenericRead, kShareNone,
                                    kOpenExisting, &error);
  ASSERT_NE(kInvalidOsHandle, r3);
  char buffer[16];
  EXPECT_TRUE(fake.ReadFile(r3, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(2u, done);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(fake.ReadFile(r3, buffer, sizeof buffer, &done, &error));
    EXPECT_EQ(0u, error);
  }
  fake.ClearFaults();
  EXPECT_TRUE(fake.ReadFile(r3, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(5u, done);  // the rest: the failed reads moved nothing
  ASSERT_TRUE(fake.CloseHandle(r3, &error));
  EXPECT_EQ(0, fake.OpenHandleCount());
}

TEST(FakeOsTest, OpenRefusesMissingFilesDirectoriesAndSharedFiles) {
  FakeOs fake;
  fake.AddDirectory("C:\\dumps");
  fake.AddFile("C:\\dumps\\s.1", Bytes("keep me"));
  uint32_t error = 0;
  EXPECT_EQ(kInvalidOsHandle, fake.OpenFile("C:\\dumps\\s.2", kGenericRead,
                                            kShareNone, kOpenExisting,
                                            &error));
  EXPECT_EQ(kErrorFileNotFound, error);
  EXPECT_EQ(kInvalidOsHandle, fake.OpenFile("C:\\dumps", kGenericWrite,
                                            kShareNone, kCreateAlways,
                                            &error));
  EXPECT_EQ(kErrorAccessDenied, error);
  const OsHandle reader = fake.OpenFile("C:\\dumps\\s.1", kGenericRead,
                                        kShareNone, kOpenExisting, &error);
  ASSERT_NE(kInvalidOsHandle, reader);
  // A writer refused by sharing does not truncate the file.
  EXPECT_EQ(kInvalidOsHandle, fake.OpenFile("C:\\dumps\\s.1", kGenericWrite,
                                            kShareNone, kCreateAlways,
                                            &error));
  EXPECT_EQ(kErrorSharingViolation, error);
  EXPECT_EQ(Bytes("keep me"), fake.FileContent("C:\\dumps\\s.1"));
  ASSERT_TRUE(fake.CloseHandle(reader, &error));
  const OsHandle writer = fake.OpenFile("C:\\dumps\\s.1", kGenericWrite,
                                        kShareNone, kCreateAlways, &error);
  ASSERT_NE(kInvalidOsHandle, writer);
  EXPECT_GT(writer, reader);  // handles are never reused
  EXPECT_TRUE(fake.FileContent("C:\\dumps\\s.1").empty());
  ASSERT_TRUE(fake.CloseHandle(writer, &error));
}

TEST(FakeOsTest, AnInterruptedCloseClosesOtherFailuresDoNot) {
  FakeOs fake;
  uint32_t error = 0;
  fake.Inject({OsCall::kCloseHandle, 1, 1, kErrorIoDevice});
  fake.Inject({OsCall::kCloseHandle, 2, 2, kErrorOperationAborted});
  const OsHandle h =
      fake.OpenFile("C:\\x.1", kGenericWrite, kShareNone, kCreateAlways,
                    &error);
  ASSERT_NE(kInvalidOsHandle, h);
  EXPECT_FALSE(fake.CloseHandle(h, &error));
  EXPECT_EQ(kErrorIoDevice, error);
  EXPECT_EQ(1, fake.OpenHandleCount());
  EXPECT_FALSE(fake.CloseHandle(h, &error));
  EXPECT_EQ(kErrorOperationAborted, error);
  EXPECT_EQ(0, fake.OpenHandleCount());
  // Still hit by the fault although the handle is gone.
  EXPECT_FALSE(fake.CloseHandle(h, &error));
  EXPECT_EQ(kErrorOperationAborted, error);
  // The repeat the library makes then finds the handle closed.
  EXPECT_FALSE(fake.CloseHandle(h, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
}

TEST(FakeOsTest, TapeRecordsMarksAndEndOfData) {
  FakeOs fake;
  FakeTapeDrive &drive = fake.AddTapeDrive(kTape);
  drive.cartridges.resize(1);
  drive.loaded = 0;
  uint32_t error = 0, done = 0;
  const OsHandle h = OpenTape(fake, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  EXPECT_EQ(1, fake.TapeDrive(kTape).open_count);
  ASSERT_TRUE(fake.WriteFile(h, "record one", 10, &done, &error));
  ASSERT_TRUE(fake.WriteFile(h, "two", 3, &done, &error));
  ASSERT_EQ(0u, fake.WriteTapemarks(h, 1));
  ASSERT_TRUE(fake.WriteFile(h, "after", 5, &done, &error));

  drive.position = 0;
  char buffer[64];
  ASSERT_TRUE(fake.ReadFile(h, buffer, 6, &done, &error));  // cut record
  EXPECT_EQ("record", std::string(buffer, done));
  ASSERT_TRUE(fake.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ("two", std::string(buffer, done));
  EXPECT_FALSE(fake.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(kErrorFilemarkDetected, error);
  ASSERT_TRUE(fake.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ("after", std::string(buffer, done));
  EXPECT_FALSE(fake.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(kErrorNoDataDetected, error);

  // Writing after the first record discards everything beyond it.
  drive.position = 1;
  ASSERT_TRUE(fake.WriteFile(h, "new", 3, &done, &error));
  ASSERT_EQ(2u, drive.cartridges[0].records.size());
  EXPECT_EQ(Bytes("new"), drive.cartridges[0].records[1].data);
  EXPECT_EQ(13u, drive.cartridges[0].BytesUsed());
  ASSERT_TRUE(fake.CloseHandle(h, &error));
  EXPECT_EQ(0, drive.open_count);
}

TEST(FakeOsTest, TapeCapacityProtectionStatusAndStacker) {
  FakeOs fake;
  FakeTapeDrive &drive = fake.AddTapeDrive(kTape);
  drive.cartridges.resize(2);
  drive.cartridges[0].capacity = 10;
  drive.cartridges[1].write_protected = true;
  drive.stacker = true;
  drive.not_ready_polls = 2;
  uint32_t error = 0, done = 0;
  EXPECT_EQ(kInvalidOsHandle,
            fake.OpenFile("\\\\.\\TAPE9", kGenericRead | kGenericWrite,
                          kShareReadWrite, kOpenExisting, &error));
  EXPECT_EQ(kErrorFileNotFound, error);
  const OsHandle h = OpenTape(fake, &error);  // an empty drive opens
  ASSERT_NE(kInvalidOsHandle, h);
  EXPECT_EQ(kErrorNoMediaInDrive, fake.GetTapeStatus(h));
  drive.loaded = 0;
  EXPECT_EQ(kErrorNotReady, fake.GetTapeStatus(h));
  EXPECT_EQ(kErrorNotReady, fake.GetTapeStatus(h));
  EXPECT_EQ(0u, fake.GetTapeStatus(h));

  ASSERT_TRUE(fake.WriteFile(h, "123456", 6, &done, &error));
  ASSERT_TRUE(fake.WriteFile(h, "7890", 4, &done, &error));  // exactly full
  EXPECT_FALSE(fake.WriteFile(h, "x", 1, &done, &error));
  EXPECT_EQ(kErrorEndOfMedia, error);
  EXPECT_EQ(0u, fake.WriteTapemarks(h, 2));  // marks take no data space
  EXPECT_EQ(4u, drive.cartridges[0].records.size());

  // The stacker loads the next cartridge, rewound; it is protected.
  EXPECT_EQ(0u, fake.UnloadTape(h));
  EXPECT_EQ(1, drive.loaded);
  EXPECT_EQ(0u, drive.position);
  TapeMediaParams media;
  ASSERT_TRUE(fake.GetTapeMediaParams(h, &media, &error));
  EXPECT_TRUE(media.write_protected);
  EXPECT_FALSE(fake.WriteFile(h, "x", 1, &done, &error));
  EXPECT_EQ(kErrorWriteProtect, error);
  EXPECT_EQ(kErrorWriteProtect, fake.WriteTapemarks(h, 1));
  // No cartridge left: the drive is empty.
  EXPECT_EQ(0u, fake.UnloadTape(h));
  EXPECT_EQ(-1, drive.loaded);
  EXPECT_EQ(kErrorNoMediaInDrive, fake.GetTapeStatus(h));

  // Manual mode: unloading just empties the drive.
  drive.stacker = false;
  drive.loaded = 0;
  EXPECT_EQ(0u, fake.UnloadTape(h));
  EXPECT_EQ(-1, drive.loaded);
  ASSERT_TRUE(fake.CloseHandle(h, &error));
}

TEST(FakeOsTest, SleepAdvancesTheVirtualClockAndCallsTheHook) {
  ScopedFakeOs scoped;
  FakeOs &fake = *scoped;
  EXPECT_EQ(&fake, &Os());
  fake.SetTickCount(0xFFFFFF00u);
  fake.SetFreeSpace(0);
  int hook_calls = 0;
  fake.on_sleep = [&hook_calls](FakeOs &os) {
    // Called without the lock: calling back into the fake must work.
    if (++hook_calls == 2) os.SetFreeSpace(4096);
    EXPECT_GE(os.SleptMilliseconds(), 1000u);
  };
  uint64_t free_bytes = 1;
  uint32_t error = 0;
  Os().Sleep(1000);
  ASSERT_TRUE(Os().GetDiskFreeSpace("C:\\", &free_bytes, &error));
  EXPECT_EQ(0u, free_bytes);
  Os().Sleep(1000);
  ASSERT_TRUE(Os().GetDiskFreeSpace("C:\\", &free_bytes, &error));
  EXPECT_EQ(4096u, free_bytes);
  EXPECT_EQ(2, fake.SleepCalls());
  EXPECT_EQ(2000u, fake.SleptMilliseconds());
  EXPECT_EQ(0xFFFFFF00u + 2000u, Os().TickCount());  // wrapped
}

TEST(FakeOsTest, ScopedFakeRestoresThePreviousLayer) {
  OsLayer *before = &Os();
  {
    ScopedFakeOs outer(PathStyle::kPosix);
    EXPECT_EQ(PathStyle::kPosix, Os().path_style());
    std::string cwd;
    ASSERT_TRUE(Os().GetCurrentDirectory(&cwd));
    EXPECT_EQ("/work", cwd);
    {
      ScopedFakeOs inner;
      EXPECT_EQ(&*inner, &Os());
    }
    EXPECT_EQ(&*outer, &Os());
  }
  EXPECT_EQ(before, &Os());
}

}  // namespace
}  // namespace kor
