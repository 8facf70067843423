// Tests of the read side: whole requests across volumes, tape blocking, and
// the failures that must not pass for data.
//
// Strategy: a disk backup is made through WriteRequest with a small
// capacity, so that it spans several volume files, and read back through
// ReadRequest with the same request sizes; every byte is compared with
// what was written.  The sizes around the end-of-volume record (shorter
// than its probe, shorter than the record, equal, longer) are each made to
// meet the record.  Volume files are then damaged (cut short, read past
// their trailer) to check that the read fails with a reason.  Tape reads
// use a fake drive loaded with records.
#include "datapath/read_path.h"

#include <gtest/gtest.h>

#include <cstring>

#include "datapath/write_path.h"
#include "device/block_read.h"
#include "device/device_close.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"
#include "volume/volume_open.h"

namespace kor {
namespace {

using testkit::DataPathTest;
using testkit::MakeHandle;
using testkit::PatternBytes;

constexpr char kDev[] = "devname=C:\\bk\\s1;dbtype=ZDBn";
constexpr char kTapeName[] = "\\\\.\\TAPE0";
// Each volume takes 1000 bytes: 772 of data after its header labels.
constexpr uint64_t kCapacity = 1000;

using Requests = std::vector<std::vector<uint8_t>>;

class ReadPathTest : public DataPathTest {
 protected:
  // Writes the requests as one backup of stripe 0 and closes it; returns
  // the number of volumes used.
  int32_t Backup(const Requests &requests) {
    auto h = MakeHandle(0, kDev);
    h->capacity = kCapacity;
    EXPECT_GE(OpenDevice(h.get(), kModeWrite), 0);
    for (const auto &request : requests) {
      EXPECT_EQ(0, WriteRequest(h.get(), request.data(),
                                static_cast<int32_t>(request.size())));
    }
    EXPECT_EQ(160, WriteEofLabels(h.get()));
    EXPECT_EQ(0, CloseDevice(h.get(), 0));
    return h->volume_number;
  }

  testkit::TestStripe OpenRestore() {
    auto h = MakeHandle(0, kDev);
    EXPECT_EQ(0, OpenDevice(h.get(), kModeRead));
    return h;
  }

  // Reads the requests back with their own sizes and compares them.
  void RestoreAndCompare(const testkit::TestStripe &h,
                         const Requests &requests) {
    for (size_t i = 0; i < requests.size(); ++i) {
      std::vector<uint8_t> buffer(requests[i].size() + 1, 0xA5);
      ASSERT_EQ(0, ReadRequest(h.get(), buffer.data(),
                               static_cast<int32_t>(requests[i].size())))
          << "request " << i << ": " << h.MessageText();
      buffer.pop_back();
      ASSERT_EQ(requests[i], buffer) << "request " << i;
    }
  }
};

Requests PatternRequests(const std::vector<size_t> &sizes, size_t count) {
  Requests requests;
  for (size_t i = 0; i < count; ++i)
    requests.push_back(
        PatternBytes(sizes[i % sizes.size()], static_cast<uint32_t>(i)));
  return requests;
}

TEST_F(ReadPathTest, EveryRequestSizeMeetsTheEndOfVolumeAndSwitches) {
  for (size_t size : {1, 50, 83, 84, 159, 160, 161}) {
    SCOPED_TRACE("request size " + std::to_string(size));
    ScopedFakeOs fake;  // a fresh disk for each size
    fake->SetFreeSpace(uint64_t{1} << 30);
    // Enough requests to fill two volumes and begin a third.
    const Requests requests = PatternRequests({size}, 2 * (772 / size) + 1);
    ASSERT_EQ(3, Backup(requests));
    auto h = OpenRestore();
    RestoreAndCompare(h, requests);
    EXPECT_EQ(3, h->volume_number);
    EXPECT_TRUE(host_.errors.empty());
  }
}

TEST_F(ReadPathTest, MixedRequestSizesComeBackWhole) {
  const Requests requests =
      PatternRequests({1, 50, 83, 84, 159, 160, 161, 7, 300}, 60);
  const int32_t volumes = Backup(requests);
  ASSERT_GT(volumes, 3);
  auto h = OpenRestore();
  RestoreAndCompare(h, requests);
  EXPECT_EQ(volumes, h->volume_number);
}

TEST_F(ReadPathTest, DataThatOnlyLooksLikeTheRecordIsDeliveredIntact) {
  Requests requests;
  const std::vector<size_t> sizes = {1, 2, 4, 50, 83, 84, 100, 159, 161, 3};
  for (size_t i = 0; i < 80; ++i) {
    std::vector<uint8_t> data = PatternBytes(sizes[i % sizes.size()], 100 + i);
    const char head[] = "EOV1";
    std::memcpy(data.data(), head, std::min<size_t>(4, data.size()));
    if (data.size() >= 84) std::memcpy(data.data() + 80, "EOV3", 4);
    requests.push_back(data);
  }
  ASSERT_GT(Backup(requests), 2);
  auto h = OpenRestore();
  RestoreAndCompare(h, requests);
}

TEST_F(ReadPathTest, ReadingAgainAfterAFailedSwitchAsksForTheSameVolume) {
  const Requests requests = PatternRequests({300}, 6);  // two per volume
  ASSERT_EQ(3, Backup(requests));
  const std::vector<uint8_t> volume2 = fake_->FileContent("C:\\bk\\s1.2");
  fake_->RemoveFile("C:\\bk\\s1.2");
  auto h = OpenRestore();
  RestoreAndCompare(h, Requests(requests.begin(), requests.begin() + 2));
  std::vector<uint8_t> buffer(300);
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 300));
  EXPECT_EQ("6920|C:\\bk\\s1.2|system text 2", h.MessageText());
  // The missing volume turns up and the host reads again: the stream must
  // go on with volume 2, not skip to volume 3.
  fake_->AddFile("C:\\bk\\s1.2", volume2);
  RestoreAndCompare(h, Requests(requests.begin() + 2, requests.end()));
  EXPECT_EQ(3, h->volume_number);
}

TEST_F(ReadPathTest, RefusedNextVolumeIsNeverReadAsData) {
  const Requests requests = PatternRequests({300}, 6);  // two per volume
  ASSERT_EQ(3, Backup(requests));
  const std::vector<uint8_t> volume2 = fake_->FileContent("C:\\bk\\s1.2");
  // Volume 2 replaced by one that carries another stripe's serial.
  std::vector<uint8_t> foreign = volume2;
  foreign[4] = '0';
  foreign[5] = '3';
  fake_->AddFile("C:\\bk\\s1.2", foreign);
  auto h = OpenRestore();
  RestoreAndCompare(h, Requests(requests.begin(), requests.begin() + 2));
  std::vector<uint8_t> buffer(300);
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 300));
  EXPECT_EQ("6920|C:\\bk\\s1|bad label on first stripe", h.MessageText());
  // Reading again must not hand out what follows the refused labels.
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 300));
  EXPECT_EQ(0, fake_->OpenHandleCount());
  // Once the right volume is there, the stream goes on with it.
  fake_->AddFile("C:\\bk\\s1.2", volume2);
  RestoreAndCompare(h, Requests(requests.begin() + 2, requests.end()));
}

TEST_F(ReadPathTest, ZeroLengthReadWithoutBufferKeepsTheStream) {
  // The first request begins like the end-of-volume record, so reading it
  // leaves bytes looked at ahead of the stream.
  Requests requests = {{'E'}, PatternBytes(100, 1)};
  ASSERT_EQ(1, Backup(requests));
  auto h = OpenRestore();
  RestoreAndCompare(h, Requests(requests.begin(), requests.begin() + 1));
  EXPECT_EQ(0, ReadRequest(h.get(), nullptr, 0));
  RestoreAndCompare(h, Requests(requests.begin() + 1, requests.end()));
}

TEST_F(ReadPathTest, TruncatedLastVolumeFailsInsteadOfReturningPartialData) {
  const Requests requests = PatternRequests({100}, 5);
  ASSERT_EQ(1, Backup(requests));
  std::vector<uint8_t> file = fake_->FileContent("C:\\bk\\s1.1");
  file.resize(file.size() - 160 - 30);  // trailer and 30 data bytes gone
  fake_->AddFile("C:\\bk\\s1.1", file);
  auto h = OpenRestore();
  RestoreAndCompare(h, Requests(requests.begin(), requests.begin() + 4));
  std::vector<uint8_t> buffer(100);
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 100));
  EXPECT_EQ(kErrRead, h->last_error);
  ASSERT_FALSE(host_.errors.empty());
  EXPECT_EQ(kErrRead, host_.errors.back().number);
  ASSERT_EQ(2u, host_.errors.back().args.size());
  EXPECT_EQ("C:\\bk\\s1", host_.errors.back().args[0]);
  // Nothing more to read: still an error, never an empty success.
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 1));
}

TEST_F(ReadPathTest, VolumeCutAtARequestBoundaryFails) {
  const Requests requests = PatternRequests({100}, 3);
  ASSERT_EQ(1, Backup(requests));
  std::vector<uint8_t> file = fake_->FileContent("C:\\bk\\s1.1");
  file.resize(file.size() - 160 - 100);
  fake_->AddFile("C:\\bk\\s1.1", file);
  auto h = OpenRestore();
  RestoreAndCompare(h, Requests(requests.begin(), requests.begin() + 2));
  std::vector<uint8_t> buffer(100);
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 100));
  EXPECT_EQ(kErrRead, h->last_error);
}

TEST_F(ReadPathTest, ReadingPastTheLastRequestFails) {
  const Requests requests = PatternRequests({100}, 3);
  ASSERT_EQ(1, Backup(requests));
  // Requests that would end inside the closing labels, take them whole, or
  // run past them: none may hand the labels out as data.
  for (int32_t size : {1, 83, 100, 160, 400}) {
    SCOPED_TRACE(size);
    host_.errors.clear();
    auto h = OpenRestore();
    RestoreAndCompare(h, requests);
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), size));
    EXPECT_EQ(kErrRead, h->last_error);
    EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), size));
    EXPECT_EQ(kErrRead, h->last_error);
    ASSERT_EQ(0, CloseDevice(h.get(), 0));
  }
}

TEST_F(ReadPathTest, FailedReadIsReported) {
  const Requests requests = PatternRequests({100}, 3);
  ASSERT_EQ(1, Backup(requests));
  auto h = OpenRestore();
  fake_->Inject({OsCall::kReadFile, fake_->Count(OsCall::kReadFile) + 1, 1,
                 kErrorIoDevice});
  std::vector<uint8_t> buffer(100);
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 100));
  EXPECT_EQ("6935|C:\\bk\\s1|system text 1117", h.MessageText());
}

class TapeReadTest : public DataPathTest {
 protected:
  // A restore stripe on a fake drive whose cartridge holds `blocks`
  // records of `blocksize` bytes, record i filled from pattern seed i.
  testkit::TestStripe OpenTape(int32_t blocksize, int blocks) {
    FakeTapeDrive &drive = fake_->AddTapeDrive(kTapeName);
    drive.cartridges.resize(1);
    drive.loaded = 0;
    for (int i = 0; i < blocks; ++i) {
      drive.cartridges[0].records.push_back(
          {false, PatternBytes(static_cast<size_t>(blocksize),
                               static_cast<uint32_t>(i))});
    }
    auto h = MakeHandle(0, "devname=\\\\.\\TAPE0;dbtype=ZDBn;blocksize=" +
                               std::to_string(blocksize));
    EXPECT_TRUE(testkit::OpenTapeHandle(h.get()));
    h->open_mode = kModeRead;
    return h;
  }

  std::vector<uint8_t> Block(int i, size_t from, size_t count) {
    const auto &data =
        fake_->TapeDrive(kTapeName).cartridges[0].records[i].data;
    return std::vector<uint8_t>(data.begin() + from,
                                data.begin() + from + count);
  }
};

TEST_F(TapeReadTest, ShortRequestKeepsTheFrontOfOneBlock) {
  auto h = OpenTape(1024, 3);
  std::vector<uint8_t> buffer(100);
  ASSERT_EQ(0, ReadRequest(h.get(), buffer.data(), 100));
  EXPECT_EQ(Block(0, 0, 100), buffer);
  ASSERT_EQ(0, ReadRequest(h.get(), buffer.data(), 100));
  EXPECT_EQ(Block(1, 0, 100), buffer);
}

TEST_F(TapeReadTest, TwoAndAHalfBlocksDropTheTailOfTheThird) {
  auto h = OpenTape(1024, 4);
  std::vector<uint8_t> buffer(2560);
  ASSERT_EQ(0, ReadRequest(h.get(), buffer.data(), 2560));
  std::vector<uint8_t> expected = Block(0, 0, 1024);
  testkit::Append(&expected, Block(1, 0, 1024));
  testkit::Append(&expected, Block(2, 0, 512));
  EXPECT_EQ(expected, buffer);
  std::vector<uint8_t> next(1024);
  ASSERT_EQ(0, ReadRequest(h.get(), next.data(), 1024));
  EXPECT_EQ(Block(3, 0, 1024), next);
}

TEST_F(TapeReadTest, ZeroLengthRequestTakesOneBlock) {
  auto h = OpenTape(1024, 2);
  EXPECT_EQ(0, ReadRequest(h.get(), nullptr, 0));
  std::vector<uint8_t> buffer(100);
  ASSERT_EQ(0, ReadRequest(h.get(), buffer.data(), 100));
  EXPECT_EQ(Block(1, 0, 100), buffer);
}

TEST_F(TapeReadTest, FilemarkWhereDataWasExpectedIsAReadError) {
  auto h = OpenTape(1024, 1);
  fake_->TapeDrive(kTapeName).cartridges[0].records.push_back({true, {}});
  std::vector<uint8_t> buffer(2048);
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 2048));
  EXPECT_EQ("6935|\\\\.\\TAPE0|system text 1101", h.MessageText());
}

// A block that begins with a trailer record ends the volume only where a
// file mark or the end of the recorded data follows it, as every volume's
// close leaves it; before another block it is data, and the block read to
// tell is the next one delivered.
TEST_F(TapeReadTest, ABlockThatBeginsLikeATrailerEndsTheVolumeOnlyBeforeAMark) {
  enum class After { kMark, kNothing, kData };
  for (bool eov : {true, false}) {
    for (After after : {After::kMark, After::kNothing, After::kData}) {
      for (int32_t length : {100, 1024, 2560}) {
        SCOPED_TRACE(std::string(eov ? "EOV" : "EOF") + " record, " +
                     (after == After::kMark      ? "file mark"
                      : after == After::kNothing ? "nothing"
                                                 : "data") +
                     " after it, request " + std::to_string(length));
        host_.errors.clear();
        auto h = OpenTape(1024, 4);  // a fresh drive
        auto &records = fake_->TapeDrive(kTapeName).cartridges[0].records;
        const std::vector<uint8_t> trailer =
            eov ? testkit::EovRecordBytes() : testkit::EofRecordBytes();
        std::copy(trailer.begin(), trailer.end(), records[0].data.begin());
        if (after != After::kData) {
          records.resize(1);
          if (after == After::kMark) records.push_back({true, {}});
        }
        std::vector<uint8_t> buffer(static_cast<size_t>(length));
        fake_->ClearTrace();
        ResetTraceMemoryForTesting();
        const int32_t n = ReadDevice(h.get(), buffer.data(), length);
        if (after == After::kData) {
          ASSERT_EQ(length, n);
          std::vector<uint8_t> expected = Block(0, 0, std::min(length, 1024));
          if (length > 1024) {
            testkit::Append(&expected, Block(1, 0, 1024));
            testkit::Append(&expected, Block(2, 0, 512));
          }
          EXPECT_EQ(expected, buffer);
          EXPECT_EQ(IO_OK, h->io_status);
          // The block read ahead is not lost.
          std::vector<uint8_t> next(1024);
          ASSERT_EQ(1024, ReadDevice(h.get(), next.data(), 1024));
          EXPECT_EQ(Block(length > 1024 ? 3 : 1, 0, 1024), next);
          EXPECT_TRUE(host_.errors.empty());
        } else if (eov) {
          EXPECT_EQ(kEovRecordSize, n);
          EXPECT_EQ(IO_AT_EOV, h->io_status);
          EXPECT_TRUE(host_.errors.empty());
          // The look-ahead that met the mark or the end of the data adds no
          // line to the (default) trace.
          EXPECT_EQ(std::vector<std::string>{"Stripe 0 at EOV"}, Trace());
        } else {
          EXPECT_EQ(-1, n);
          EXPECT_EQ("6935|\\\\.\\TAPE0|system text 38", h.MessageText());
          EXPECT_EQ(std::vector<std::string>{
                        "Stripe 0 ReadFile of 1024 failed LastErr 38"},
                    Trace());
        }
      }
    }
  }
}

TEST_F(TapeReadTest, ShortBlockIsNotDeliveredAsData) {
  auto h = OpenTape(1024, 0);
  fake_->TapeDrive(kTapeName).cartridges[0].records.push_back(
      {false, PatternBytes(512, 1)});
  std::vector<uint8_t> buffer(100);
  EXPECT_EQ(-1, ReadRequest(h.get(), buffer.data(), 100));
  EXPECT_EQ(kErrRead, h->last_error);
}

}  // namespace
}  // namespace kor
