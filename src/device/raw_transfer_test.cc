// Tests of single raw transfers and their repeat rules.
//
// Strategy: a handle is pointed straight at a fake volume file or a fake
// tape drive, and one RawRead / ReadWithRetry / WriteWithRetry is driven
// with faults injected into ReadFile and WriteFile (error codes, code 0,
// short transfers, endless interruptions).  Results are checked together
// with what reached the file, the errors raised and the trace lines of
// bits 0x01 and 0x80.
#include "device/raw_transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "device/win32_error_map.h"
#include "diag/error_report.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

using testkit::DataPathTest;
using testkit::MakeHandle;
using testkit::PatternBytes;

constexpr char kDiskDev[] = "devname=C:\\bk\\s1;dbtype=ZDBn";
constexpr char kFile[] = "C:\\bk\\s1.1";

class RawTransferTest : public DataPathTest {
 protected:
  RawTransferTest() { fake_->SetEnv("KORDBG", "129"); }  // 0x01 | 0x80

  testkit::TestStripe OpenFile(uint32_t access, uint32_t creation) {
    auto h = MakeHandle(0, kDiskDev);
    uint32_t error = 0;
    h->device_handle =
        fake_->OpenFile(kFile, access, kShareNone, creation, &error);
    EXPECT_NE(kInvalidOsHandle, h->device_handle);
    fake_->ClearTrace();
    return h;
  }
};

// Where a trailer record ends a volume is for the block read path to say
// (it knows the volume's size or the block after); a raw read returns the
// bytes as they came and leaves their trace to it.
TEST_F(RawTransferTest, ARecordThatLooksLikeATrailerIsReturnedUntraced) {
  for (const std::vector<uint8_t> &trailer :
       {testkit::EovRecordBytes(), testkit::EofRecordBytes()}) {
    FakeTapeDrive &drive = fake_->AddTapeDrive("\\\\.\\TAPE0");
    drive.cartridges.resize(1);
    drive.loaded = 0;
    std::vector<uint8_t> block = PatternBytes(65536, 1);
    std::copy(trailer.begin(), trailer.end(), block.begin());
    drive.cartridges[0].records.push_back({false, block});
    auto h = MakeHandle(0, "devname=\\\\.\\TAPE0;dbtype=ZDBn");
    ASSERT_TRUE(testkit::OpenTapeHandle(h.get()));
    fake_->ClearTrace();
    std::vector<uint8_t> buffer(65536);
    EXPECT_EQ(65536, RawRead(h.get(), buffer.data(), 65536));
    EXPECT_EQ(block, buffer);
    EXPECT_EQ(IO_OK, h->io_status);
    EXPECT_TRUE(Trace().empty());
    EXPECT_TRUE(host_.errors.empty());
  }
}

TEST_F(RawTransferTest, PlainReadReportsItsCount) {
  fake_->AddFile(kFile, PatternBytes(100, 2));
  auto h = OpenFile(kGenericRead, kOpenExisting);
  std::vector<uint8_t> buffer(200);
  EXPECT_EQ(100, RawRead(h.get(), buffer.data(), 200));
  EXPECT_EQ(IO_OK, h->io_status);
  EXPECT_TRUE(Traced("Stripe 0 ReadFile OK (100 of 200) bytes"));
}

TEST_F(RawTransferTest, FailedReadIsReportedWithItsSystemText) {
  fake_->AddFile(kFile, PatternBytes(100, 2));
  auto h = OpenFile(kGenericRead, kOpenExisting);
  fake_->Inject({OsCall::kReadFile, 1, 1, kErrorFilemarkDetected});
  std::vector<uint8_t> buffer(100);
  EXPECT_EQ(-1, ReadWithRetry(h.get(), buffer.data(), 100));
  EXPECT_EQ(kErrorFilemarkDetected, h->last_os_error);
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrRead, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"C:\\bk\\s1", "system text 1101"}),
            host_.errors[0].args);
  EXPECT_TRUE(Traced("Stripe 0 ReadFile of 100 failed LastErr 1101"));
}

TEST_F(RawTransferTest, InterruptedReadsAreRepeated) {
  const std::vector<uint8_t> data = PatternBytes(100, 3);
  fake_->AddFile(kFile, data);
  auto h = OpenFile(kGenericRead, kOpenExisting);
  fake_->Inject({OsCall::kReadFile, 1, 2, kErrorOperationAborted});
  fake_->Inject({OsCall::kReadFile, 3, 1, kErrorIoIncomplete});
  std::vector<uint8_t> buffer(100);
  EXPECT_EQ(100, ReadWithRetry(h.get(), buffer.data(), 100));
  EXPECT_EQ(data, buffer);
  EXPECT_EQ(4, fake_->Count(OsCall::kReadFile));
  EXPECT_TRUE(host_.errors.empty());
}

TEST_F(RawTransferTest, DiskFullWriteReturnsZeroWithoutAnError) {
  auto h = OpenFile(kGenericWrite, kCreateAlways);
  fake_->Inject({OsCall::kWriteFile, 1, 1, kErrorDiskFull});
  const std::vector<uint8_t> data = PatternBytes(500, 4);
  EXPECT_EQ(0, WriteWithRetry(h.get(), data.data(), 500));
  EXPECT_TRUE(host_.errors.empty());
  EXPECT_EQ(0, h->last_error);
  EXPECT_EQ(0, h.message->length);
  EXPECT_TRUE(fake_->FileContent(kFile).empty());
}

TEST_F(RawTransferTest, OtherWriteFailureRaises6934) {
  auto h = OpenFile(kGenericWrite, kCreateAlways);
  fake_->Inject({OsCall::kWriteFile, 1, 1, kErrorHandleDiskFull});
  const std::vector<uint8_t> data = PatternBytes(500, 4);
  EXPECT_EQ(-1, WriteWithRetry(h.get(), data.data(), 500));
  EXPECT_EQ("6934|C:\\bk\\s1|system text 39", h.MessageText());
  EXPECT_EQ(kErrorHandleDiskFull, h->last_os_error);
  EXPECT_EQ(1, fake_->Count(OsCall::kWriteFile));
  EXPECT_TRUE(Traced("Stripe 0 WriteFile of 500 failed. lasterr 39"));
}

TEST_F(RawTransferTest, FailureWithoutCodeIsTakenForEndOfTape) {
  auto h = OpenFile(kGenericWrite, kCreateAlways);
  fake_->Inject({OsCall::kWriteFile, 1, 1, 0});
  const std::vector<uint8_t> data = PatternBytes(500, 4);
  EXPECT_EQ(0, WriteWithRetry(h.get(), data.data(), 500));
  EXPECT_TRUE(host_.errors.empty());
  EXPECT_EQ((std::vector<std::string>{
                "Stripe 0 WriteFile of 500 failed. lasterr 0",
                "Stripe 0 assumed EOT"}),
            Trace());
}

TEST_F(RawTransferTest, InterruptedWritesAreRepeatedAndLandOnce) {
  auto h = OpenFile(kGenericWrite, kCreateAlways);
  fake_->Inject({OsCall::kWriteFile, 1, 3, kErrorOperationAborted});
  const std::vector<uint8_t> data = PatternBytes(500, 5);
  EXPECT_EQ(500, WriteWithRetry(h.get(), data.data(), 500));
  EXPECT_EQ(4, fake_->Count(OsCall::kWriteFile));
  EXPECT_EQ(data, fake_->FileContent(kFile));
  EXPECT_TRUE(host_.errors.empty());
  EXPECT_TRUE(Traced("Stripe 0 WriteFile OK wrote 500 of 500"));
}

TEST_F(RawTransferTest, EndlesslyInterruptedWriteGivesUp) {
  auto h = OpenFile(kGenericWrite, kCreateAlways);
  fake_->Inject({OsCall::kWriteFile, 1, -1, kErrorOperationAborted});
  const std::vector<uint8_t> data = PatternBytes(500, 5);
  EXPECT_EQ(-1, WriteWithRetry(h.get(), data.data(), 500));
  EXPECT_EQ("6934|C:\\bk\\s1|system text 995", h.MessageText());
  EXPECT_GT(fake_->Count(OsCall::kWriteFile), 1);
  EXPECT_LE(fake_->Count(OsCall::kWriteFile), 1000);
}

TEST_F(RawTransferTest, ShortWriteIsReturnedUnchanged) {
  auto h = OpenFile(kGenericWrite, kCreateAlways);
  Fault fault{OsCall::kWriteFile, 1};
  fault.transfer = 30000;
  fake_->Inject(fault);
  const std::vector<uint8_t> data = PatternBytes(65536, 6);
  EXPECT_EQ(30000, WriteWithRetry(h.get(), data.data(), 65536));
  EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 30000),
            fake_->FileContent(kFile));
  EXPECT_EQ(std::vector<std::string>{"Stripe 0 WriteFile OK wrote 30000 of 65536"},
            Trace());
  EXPECT_TRUE(host_.errors.empty());
}

}  // namespace
}  // namespace kor
