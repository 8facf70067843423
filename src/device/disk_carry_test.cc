// Tests of the carry: page-aligned OS writes of disk backup volumes with
// the volume's bytes unchanged, and carried bytes that fail later.
//
// Strategy: disk backups run on the fake OS layer, which records where each
// write to a file began and how long it was.  For several shapes of
// request stream (large, odd, tiny, mixed, with a short write in the
// middle) every write must begin on a 4 KiB offset and end on one, but
// for the last write of the volume, and the volume must hold exactly the
// labels and requests in order.  Failures of carried bytes go through the
// exported functions, since what matters is what kor_write and kor_close
// tell the host.
#include "device/disk_carry.h"

#include <gtest/gtest.h>

#include <cstring>

#include "datapath/write_path.h"
#include "device/device_close.h"
#include "diag/error_report.h"
#include "korbr/korbr.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"
#include "volume/volume_open.h"

namespace kor {
namespace {

using testkit::Append;
using testkit::DataPathTest;
using testkit::EofRecordBytes;
using testkit::HeaderLabelBytes;
using testkit::MakeHandle;
using testkit::PatternBytes;

constexpr char kDev[] = "devname=C:\\bk\\s1;dbtype=ZDBn";
constexpr char kVolume1[] = "C:\\bk\\s1.1";

class DiskCarryTest : public DataPathTest {
 protected:
  // Backs up requests of the given sizes onto one volume and closes it;
  // returns the bytes the volume must hold.
  std::vector<uint8_t> BackUp(const std::vector<int32_t> &sizes) {
    auto h = MakeHandle(0, kDev);
    EXPECT_GE(OpenDevice(h.get(), kModeWrite), 0);
    std::vector<uint8_t> expected = HeaderLabelBytes(0, 1);
    uint32_t seed = 0;
    for (int32_t size : sizes) {
      const std::vector<uint8_t> data = PatternBytes(size, ++seed);
      EXPECT_EQ(0, WriteRequest(h.get(), data.data(), size))
          << h.MessageText();
      Append(&expected, data);
    }
    EXPECT_EQ(160, WriteEofLabels(h.get()));
    EXPECT_EQ(0, CloseDevice(h.get(), 0)) << h.MessageText();
    Append(&expected, EofRecordBytes());
    return expected;
  }

  // Every write but the last begins and ends on a page; the writes follow
  // each other without gaps; returns how many there were.
  size_t ExpectAlignedWrites(const std::string &name, size_t total) {
    const std::vector<WriteExtent> writes = fake_->WritesTo(name);
    uint64_t at = 0;
    for (size_t i = 0; i < writes.size(); ++i) {
      SCOPED_TRACE("write " + std::to_string(i) + " at " +
                   std::to_string(writes[i].offset));
      EXPECT_EQ(at, writes[i].offset);
      at += writes[i].length;
      if (i + 1 < writes.size()) {
        EXPECT_EQ(0u, at % kWriteAlignment);
      }
    }
    EXPECT_EQ(total, at);
    return writes.size();
  }
};

TEST_F(DiskCarryTest, EveryWriteButTheLastBeginsAndEndsOnAPage) {
  struct Case {
    const char *name;
    std::vector<int32_t> sizes;
    size_t max_writes;  // OS writes the volume may take at most
  };
  std::vector<int32_t> tiny(3000, 100), mixed;
  for (int i = 0; i < 60; ++i)
    mixed.push_back(i % 3 == 0 ? 70001 : (i % 3 == 1 ? 1 : 4095 + i));
  const Case cases[] = {
      {"64 KiB requests", std::vector<int32_t>(20, 65536), 21},
      {"requests off every page", {100000, 4097, 200001, 65535, 70000, 3}, 6},
      {"small requests gathered", tiny, 3000 * 100 / kGatherBytes + 2},
      {"mixed sizes and empty requests", mixed, 60},
      {"nothing but labels", {}, 1},
      {"requests of exactly a gather", {0, kGatherBytes, kGatherBytes - 228}, 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fake_->RemoveFile(kVolume1);
    const std::vector<uint8_t> expected = BackUp(c.sizes);
    EXPECT_EQ(expected, fake_->FileContent(kVolume1));
    EXPECT_LE(ExpectAlignedWrites(kVolume1, expected.size()), c.max_writes);
  }
}

TEST_F(DiskCarryTest, AShortWriteIsRealignedByTheNextOne) {
  // The first OS write takes 5000 bytes and the next finds the disk full;
  // when space is back, the writes that follow end on pages again.
  Fault partial{OsCall::kWriteFile, 1};
  partial.transfer = 5000;
  fake_->Inject(partial);
  fake_->Inject({OsCall::kWriteFile, 2, 1, kErrorDiskFull});
  const std::vector<uint8_t> expected =
      BackUp(std::vector<int32_t>(8, 70000));
  EXPECT_EQ(expected, fake_->FileContent(kVolume1));
  const std::vector<WriteExtent> writes = fake_->WritesTo(kVolume1);
  ASSERT_GT(writes.size(), 3u);
  EXPECT_EQ(5000u, writes[1].offset);
  for (size_t i = 1; i + 1 < writes.size(); ++i) {
    EXPECT_EQ(0u, (writes[i].offset + writes[i].length) % kWriteAlignment);
  }
}

// What the host is told when carried bytes cannot be written, through the
// exported functions.
class CarryFailureTest : public DiskCarryTest {
 protected:
  CarryFailureTest() {
    std::memset(&params_, 0, sizeof params_);
    params_.archdev[0] = "devname=C:\\bk\\s1;dbtype=ZDBn";
  }

  void *Open() {
    void *h = kor_open(0, &params_, KOR_MODE_WRITE, &msg_);
    EXPECT_NE(nullptr, h) << msg_.text;
    return h;
  }
  int32_t Write(void *h, int32_t size) {
    const std::vector<uint8_t> data = PatternBytes(size, 9);
    return kor_write(h, data.data(), size, &msg_);
  }
  std::string Text() const { return msg_.text; }

  OpenParams params_;
  MessageBuffer msg_;
};

TEST_F(CarryFailureTest, ACarriedTailThatCannotBeWrittenFailsTheNextCallAndTheClose) {
  void *h = Open();
  ASSERT_EQ(0, Write(h, 70000));  // its tail stays carried
  fake_->Inject({OsCall::kWriteFile, fake_->Count(OsCall::kWriteFile) + 1, -1,
                 kErrorIoDevice});
  EXPECT_EQ(-1, Write(h, 70000));
  EXPECT_EQ("6934|C:\\bk\\s1|system text 1117", Text());
  EXPECT_EQ(-1, kor_close(h, KOR_CLOSE_NORMAL, &msg_));
  EXPECT_EQ("6934|C:\\bk\\s1|system text 1117", Text());
  EXPECT_EQ(0, fake_->OpenHandleCount());
}

TEST_F(CarryFailureTest, ACloseThatCannotWriteOutOrFlushTheVolumeFails) {
  struct Case {
    const char *name;
    OsCall call;
    int occurrence;  // counted from the open
    uint32_t error;
    const char *text;
    size_t abandoned;  // volumes handed back unfinished, so far
  };
  // A volume that could not be finished is handed back as abandoned (an
  // object store must not complete it); one whose directory entry alone
  // failed was finished and closed.
  const Case cases[] = {
      {"the last write", OsCall::kWriteFile, 2, kErrorIoDevice,
       "6934|C:\\bk\\s1|system text 1117", 1},
      {"the flush", OsCall::kFlushFile, 1, kErrorIoDevice,
       "6921|C:\\bk\\s1|system text 1117", 2},
      {"the directory", OsCall::kFlushDirectory, 1, kErrorAccessDenied,
       "6921|C:\\bk\\s1|system text 5", 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    fake_->ClearFaults();
    fake_->Inject({c.call, fake_->Count(c.call) + c.occurrence, -1, c.error});
    void *h = Open();
    ASSERT_EQ(0, Write(h, 70000)) << Text();
    EXPECT_EQ(-1, kor_close(h, KOR_CLOSE_NORMAL, &msg_));
    EXPECT_EQ(c.text, Text());
    EXPECT_EQ(0, fake_->OpenHandleCount());
    EXPECT_EQ(c.abandoned, fake_->AbandonedFiles().size());
  }
}

TEST_F(CarryFailureTest, AnAbandonedVolumeGetsTheSameBytesButIsHandedBackAbandoned) {
  std::vector<std::vector<uint8_t>> contents;
  for (int32_t mode : {KOR_CLOSE_NORMAL, KOR_CLOSE_ABANDON}) {
    void *h = Open();
    ASSERT_EQ(0, Write(h, 70000)) << Text();
    ASSERT_EQ(0, kor_close(h, mode, &msg_)) << Text();
    contents.push_back(fake_->FileContent(kVolume1));
  }
  EXPECT_EQ(contents[0], contents[1]);
  EXPECT_EQ(228u + 70000u + 160u, contents[1].size());
  EXPECT_EQ(std::vector<std::string>{kVolume1}, fake_->AbandonedFiles());
  EXPECT_EQ(0, fake_->OpenHandleCount());
}

TEST_F(CarryFailureTest, AFullDiskAtTheCloseIsWaitedForNotDropped) {
  void *h = Open();
  ASSERT_EQ(0, Write(h, 1000));
  fake_->Inject({OsCall::kWriteFile, 1, 1, kErrorDiskFull});
  fake_->SetFreeSpace(0);
  fake_->on_sleep = [](FakeOs &os) {
    if (os.SleptMilliseconds() == 30000) os.SetFreeSpace(1 << 20);
  };
  ASSERT_EQ(0, kor_close(h, KOR_CLOSE_NORMAL, &msg_)) << Text();
  EXPECT_EQ(30000u, fake_->SleptMilliseconds());
  EXPECT_EQ(228u + 1000u + 160u, fake_->FileContent(kVolume1).size());

  // With nobody making room the close gives up and says so.
  h = Open();
  ASSERT_EQ(0, Write(h, 1000));
  fake_->Inject({OsCall::kWriteFile, fake_->Count(OsCall::kWriteFile) + 1, -1,
                 kErrorDiskFull});
  fake_->SetFreeSpace(0);
  fake_->on_sleep = nullptr;
  host_.cancel = [](int poll) { return poll > 3; };
  EXPECT_EQ(-1, kor_close(h, KOR_CLOSE_NORMAL, &msg_));
  EXPECT_EQ("6937|C:\\bk\\s1", Text());
}

TEST_F(CarryFailureTest, EachVolumeIsFlushedOnceUnlessKorNoFlushIsSet) {
  params_.archdev[0] = "devname=C:\\bk\\s1;dbtype=ZDBn;capacity=256";
  void *h = Open();
  for (int i = 0; i < 10; ++i) ASSERT_EQ(0, Write(h, 65536)) << Text();
  ASSERT_EQ(0, kor_close(h, KOR_CLOSE_NORMAL, &msg_)) << Text();
  ASSERT_TRUE(fake_->HasFile("C:\\bk\\s1.4"));  // three requests a volume
  EXPECT_FALSE(fake_->HasFile("C:\\bk\\s1.5"));
  EXPECT_EQ(4, fake_->Count(OsCall::kFlushFile));
  EXPECT_EQ(4, fake_->Count(OsCall::kFlushDirectory));

  fake_->SetEnv("KOR_NO_FLUSH", "1");
  h = Open();
  ASSERT_EQ(0, Write(h, 65536)) << Text();
  ASSERT_EQ(0, kor_close(h, KOR_CLOSE_NORMAL, &msg_)) << Text();
  EXPECT_EQ(4, fake_->Count(OsCall::kFlushFile));
  EXPECT_EQ(4, fake_->Count(OsCall::kFlushDirectory));
}

TEST_F(CarryFailureTest, EveryEightMebibytesStartOnTheirWayToTheMedium) {
  void *h = Open();
  for (int i = 0; i < 20 * 16; ++i) ASSERT_EQ(0, Write(h, 65536)) << Text();
  ASSERT_EQ(0, kor_close(h, KOR_CLOSE_NORMAL, &msg_)) << Text();
  EXPECT_EQ(2, fake_->Count(OsCall::kStartWriteback));  // 20 MiB written

  // Nothing is flushed at the close, so nothing is hurried before it.
  fake_->SetEnv("KOR_NO_FLUSH", "1");
  h = Open();
  for (int i = 0; i < 20 * 16; ++i) ASSERT_EQ(0, Write(h, 65536)) << Text();
  ASSERT_EQ(0, kor_close(h, KOR_CLOSE_NORMAL, &msg_)) << Text();
  EXPECT_EQ(2, fake_->Count(OsCall::kStartWriteback));
}

}  // namespace
}  // namespace kor
