// The Linux st backend driven through the exported functions, on a fake st
// kernel that keeps cartridges, records, file marks and a position.
//
// Strategy: KOR_DEVICE_DIR names a fresh directory holding a character
// device node "nst0", so "\\.\TAPE0" resolves to an st drive, and the fake
// kernel (tests/support/fake_st_kernel.h) is installed at the backend's
// system-call seam; the real POSIX layer and the whole library run above
// it.  The host's info callback plays the operator who loads the next
// cartridge when asked (9234).  Each test checks what the kernel was asked
// to do and what the cartridges hold, record by record, and what the host
// was told: a backup over two cartridges and its restore, a write-protected
// cartridge, the end of the media in the middle of a request, and an empty
// drive.  No wait sleeps for real: the host cancels at its first chance.
#include <gtest/gtest.h>
#include <linux/mtio.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "diag/error_report.h"
#include "korbr/korbr.h"
#include "label/label_format.h"
#include "support/fake_st_kernel.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

using testkit::FakeStKernel;
using testkit::HostRecorder;
using testkit::StCartridge;

constexpr int32_t kBlock = 4096;
// capacity=256 (KB) and 4096-byte blocks: 64 blocks a volume, three of
// them for the header labels.
constexpr int kDataBlocks = 61;
constexpr char kDevice[] =
    "devname=\\\\.\\TAPE0;dbtype=ZDBn;capacity=256;blocksize=4096";

class StDriveTest : public ::testing::Test {
 protected:
  StDriveTest()
      : dir_(std::filesystem::temp_directory_path() /
             ("korbr-st-" + std::to_string(::getpid()))),
        kernel_((dir_ / "nst0").string()) {
    std::filesystem::create_directories(dir_);
    EXPECT_TRUE(testkit::MakeDeviceNode(dir_.string(), "nst0"));
    setenv("KOR_DEVICE_DIR", dir_.c_str(), 1);
    setenv("KORDBG", "0", 1);
    unsetenv("KORIOPROF");
    unsetenv("KOR_DO_NOT_OFFL");
    kernel_.cartridges.resize(2);
    kernel_.Load(0);
    // The operator loads the next cartridge when asked for a volume.
    host_.on_info = [this](const testkit::HostMessage &m) {
      if (m.number == kMsgMountVolume) kernel_.Load(++next_cartridge_ - 1);
    };
    std::memset(&msg_, 0, sizeof msg_);
  }
  ~StDriveTest() override {
    unsetenv("KOR_DEVICE_DIR");
    unsetenv("KORDBG");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Request k of `size` bytes: pattern seed k, beginning with the
  // end-of-volume labels' bytes where k is in trailer_like_.
  std::vector<uint8_t> Request(int k, int32_t size) const {
    std::vector<uint8_t> data = testkit::PatternBytes(static_cast<size_t>(size),
                                                      static_cast<uint32_t>(k));
    if (trailer_like_.count(k) != 0) {
      const std::vector<uint8_t> eov = testkit::EovRecordBytes();
      std::copy(eov.begin(), eov.end(), data.begin());
    }
    return data;
  }

  // Writes `requests` requests of `size` bytes (Request) through one
  // backup stripe; the number written before the first failure.  The
  // stripe is closed either way.
  int Backup(const std::string &device, int requests, int32_t size,
             int32_t *close_result = nullptr) {
    OpenParams params{};
    params.archdev[0] = device.c_str();
    void *h = kor_open(0, &params, KOR_MODE_WRITE, &msg_);
    if (h == nullptr) return -1;
    int written = 0;
    for (int k = 0; k < requests; ++k) {
      const std::vector<uint8_t> data = Request(k, size);
      if (kor_write(h, data.data(), size, &msg_) != 0) break;
      ++written;
    }
    MessageBuffer close_msg{};
    const int32_t closed = kor_close(h, KOR_CLOSE_NORMAL, &close_msg);
    if (close_result != nullptr) *close_result = closed;
    return written;
  }

  // Labels, data blocks and a trailer of `id` ("EOV1", "EOF1"), then
  // `marks` file marks: the record sizes and kinds a backup volume leaves.
  void ExpectVolume(const StCartridge &cartridge, int volume, int data_blocks,
                    const char *trailer, int marks) {
    SCOPED_TRACE("volume " + std::to_string(volume));
    ASSERT_EQ(static_cast<size_t>(3 + data_blocks + 1 + marks),
              cartridge.records.size());
    char vol1[kLabelSize];
    BuildVol1Label(vol1, 0, volume);
    EXPECT_EQ(0,
              std::memcmp(cartridge.records[0].data.data(), vol1, kLabelSize));
    EXPECT_EQ(0, std::memcmp(cartridge.records[1].data.data(), "HDR1", 4));
    EXPECT_EQ(0, std::memcmp(cartridge.records[2].data.data(), "HDR2", 4));
    for (int i = 0; i < 3 + data_blocks + 1; ++i) {
      EXPECT_FALSE(cartridge.records[static_cast<size_t>(i)].mark);
      EXPECT_EQ(static_cast<size_t>(kBlock),
                cartridge.records[static_cast<size_t>(i)].data.size());
    }
    EXPECT_EQ(
        0,
        std::memcmp(
            cartridge.records[static_cast<size_t>(3 + data_blocks)].data.data(),
            trailer, 4));
    EXPECT_EQ(marks, cartridge.Marks());
  }

  std::filesystem::path dir_;
  FakeStKernel kernel_;
  testkit::ScopedStKernel installed_{&kernel_};
  HostRecorder host_;
  int next_cartridge_ = 1;  // the operator's next one (1 = the second)
  std::set<int> trailer_like_;
  MessageBuffer msg_;
};

// Blocks that begin like the end-of-volume labels (the last one before the
// real ones among them) are data: a file mark follows only the real ones.
TEST_F(StDriveTest, ABackupSpansTwoCartridgesAndRestoresWhole) {
  const int requests = kDataBlocks + 20;
  trailer_like_ = {10, kDataBlocks - 1, kDataBlocks};
  ASSERT_EQ(requests, Backup(kDevice, requests, kBlock)) << msg_.text;
  EXPECT_TRUE(host_.errors.empty());
  // (9237: capacity=256 is below what a volume may hold.)
  EXPECT_EQ(std::vector<int32_t>(
                {kMsgSmallCapacity, kMsgMountVolume, kMsgBackupVolume}),
            host_.InfoNumbers());
  // Fixed 4096-byte blocks; the first volume ends with two file marks, and
  // each cartridge is unloaded when done.
  EXPECT_EQ(kBlock, static_cast<int32_t>(kernel_.block_size()));
  const auto ops = kernel_.operations();
  EXPECT_EQ(2,
            std::count(ops.begin(), ops.end(), std::make_pair(int{MTOFFL}, 1)));
  EXPECT_EQ(1,
            std::count(ops.begin(), ops.end(), std::make_pair(int{MTWEOF}, 2)));
  ExpectVolume(kernel_.cartridges[0], 1, kDataBlocks, "EOV1", 2);
  ExpectVolume(kernel_.cartridges[1], 2, 20, "EOF1", 0);
  EXPECT_EQ(-1, kernel_.loaded());
  EXPECT_EQ(0, kernel_.OpenDescriptors());

  // The restore: the operator puts the first cartridge back and loads the
  // second when asked.
  host_.infos.clear();
  kernel_.Load(0);
  next_cartridge_ = 1;
  OpenParams params{};
  params.archdev[0] = kDevice;
  void *h = kor_open(0, &params, KOR_MODE_READ, &msg_);
  ASSERT_NE(nullptr, h) << msg_.text;
  std::vector<uint8_t> buffer(kBlock);
  for (int k = 0; k < requests; ++k) {
    ASSERT_EQ(0, kor_read(h, buffer.data(), kBlock, &msg_))
        << "request " << k << ": " << msg_.text;
    ASSERT_EQ(Request(k, kBlock), buffer) << "request " << k;
  }
  // Past the stream: the closing labels are never data.
  EXPECT_EQ(-1, kor_read(h, buffer.data(), kBlock, &msg_));
  EXPECT_EQ(kErrRead, kor_get_last_error(h));
  EXPECT_EQ(0, kor_close(h, KOR_CLOSE_NORMAL, &msg_)) << msg_.text;
  EXPECT_EQ(std::vector<int32_t>(
                {kMsgSmallCapacity, kMsgMountVolume, kMsgRestoreVolume}),
            host_.InfoNumbers());
  EXPECT_EQ(0, kernel_.OpenDescriptors());
}

TEST_F(StDriveTest, AWriteProtectedCartridgeFailsAnUnattendedBackup) {
  kernel_.cartridges[0].write_protected = true;
  EXPECT_EQ(-1, Backup(std::string(kDevice) + ";attended=0", 1, kBlock));
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrInterrupted, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"\\\\.\\TAPE0",
                                      "write protected. Cannot continue"}),
            host_.errors[0].args);
  // Nothing was written, and the cartridge was handed back.
  EXPECT_TRUE(kernel_.cartridges[0].records.empty());
  EXPECT_EQ(-1, kernel_.loaded());
  EXPECT_EQ(0, kernel_.OpenDescriptors());
}

// The media ends before the budget does, in the middle of a request of
// three blocks: the write fails with the end of the media and the stripe
// still closes, releasing the drive.
TEST_F(StDriveTest, TheEndOfTheMediaInTheMiddleOfARequestFailsTheWrite) {
  StCartridge &cartridge = kernel_.cartridges[0];
  cartridge.early_warning = static_cast<uint64_t>(kBlock) * 10;
  cartridge.physical_end = static_cast<uint64_t>(kBlock) * 20;
  int32_t closed = 0;
  // Labels (3 blocks) and two requests of 3 blocks fit before the warning;
  // the third request crosses it in its second block.
  EXPECT_EQ(2, Backup(kDevice, 10, 3 * kBlock, &closed));
  ASSERT_FALSE(host_.errors.empty());
  EXPECT_EQ(kErrWrite, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"\\\\.\\TAPE0",
                                      "End of the tape media reached"}),
            host_.errors[0].args);
  // The labels, 8 data blocks (the last one past the warning), and the
  // closing labels, which the driver lets through after its refusal.
  ASSERT_EQ(12u, cartridge.records.size());
  EXPECT_EQ(0, std::memcmp(cartridge.records[11].data.data(), "EOF1", 4));
  EXPECT_EQ(0, kernel_.OpenDescriptors());
}

TEST_F(StDriveTest, AnEmptyDriveIsWaitedForUntilTheHostCancels) {
  kernel_.Load(-1);
  // The first poll of an open comes before the drive is tried; the host
  // ends the wait at the next, before it sleeps.
  host_.cancel = [](int poll) { return poll > 1; };
  EXPECT_EQ(-1, Backup(kDevice, 1, kBlock));
  ASSERT_EQ(1u, host_.errors.size());
  EXPECT_EQ(kErrInterrupted, host_.errors[0].number);
  EXPECT_EQ((std::vector<std::string>{"\\\\.\\TAPE0", "interrupt received"}),
            host_.errors[0].args);
  EXPECT_TRUE(kernel_.operations().empty());
  EXPECT_EQ(0, kernel_.OpenDescriptors());
}

}  // namespace
}  // namespace kor
