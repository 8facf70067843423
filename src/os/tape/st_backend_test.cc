// Tests of the Linux st backend against a scripted kernel.
//
// Strategy: there is no tape hardware here, so FakeKernel plays the st
// driver at the system-call seam: it answers MTIOCGET with the status bits
// a test sets, records every MTIOCTOP and the flags of every open, answers
// SG_IO's READ BLOCK LIMITS with bytes (or refuses it), and returns
// scripted results and errno values for reads and writes.  The tests check
// the Win32 codes the backend makes of them and the requests it sends.
#include "os/tape/st_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/mtio.h>
#include <scsi/sg.h>

#include <cstring>
#include <deque>
#include <vector>

#include "os/win32_codes.h"

namespace kor {
namespace {

constexpr int kFd = 42;

class FakeKernel : public StKernel {
 public:
  // One scripted read or write: a count, or -1 with an errno.
  struct Result {
    ssize_t count;
    int err;
  };

  int Open(const char *path, int flags) override {
    paths.push_back(path);
    open_flags.push_back(flags);
    if (!open_errors.empty()) {
      const int err = open_errors.front();
      open_errors.pop_front();
      if (err != 0) {
        errno = err;
        return -1;
      }
    }
    return kFd;
  }
  int Close(int fd) override {
    closed.push_back(fd);
    if (close_error != 0) {
      errno = close_error;
      return -1;
    }
    return 0;
  }
  ssize_t Read(int, void *buffer, size_t length) override {
    return Answer(&reads, buffer, length);
  }
  ssize_t Write(int, const void *, size_t length) override {
    written.push_back(length);
    return Answer(&writes, nullptr, length);
  }
  int Ioctl(int fd, unsigned long request, void *argument) override {
    EXPECT_EQ(kFd, fd);
    if (request == MTIOCGET) {
      if (status_error != 0) return Fail(status_error);
      auto *status = static_cast<struct mtget *>(argument);
      status->mt_gstat = gstat;
      status->mt_dsreg = dsreg;
      return 0;
    }
    if (request == MTIOCTOP) {
      const auto *op = static_cast<const struct mtop *>(argument);
      ops.push_back({op->mt_op, op->mt_count});
      if (!op_errors.empty()) {
        const int err = op_errors.front();
        op_errors.pop_front();
        if (err != 0) return Fail(err);
      }
      return 0;
    }
    if (request == SG_IO) {
      auto *io = static_cast<sg_io_hdr_t *>(argument);
      sg_cdbs.emplace_back(io->cmdp, io->cmdp + io->cmd_len);
      sg_directions.push_back(io->dxfer_direction);
      if (sg_error != 0) return Fail(sg_error);
      std::memcpy(io->dxferp, block_limits, sizeof block_limits);
      io->status = sg_status;
      return 0;
    }
    return Fail(ENOTTY);
  }

  // Scripting.
  std::deque<int> open_errors;  // per open: 0 succeeds
  int close_error = 0;
  unsigned long gstat = GMT_ONLINE(0xFFFFFFFFul);
  long dsreg = 0;
  int status_error = 0;       // MTIOCGET fails with it
  std::deque<int> op_errors;  // per MTIOCTOP: 0 succeeds
  int sg_error = EPERM;       // SG_IO refused unless cleared
  uint8_t sg_status = 0;
  uint8_t block_limits[6] = {};
  std::deque<Result> reads, writes;  // empty: full count

  // Records.
  std::vector<std::string> paths;
  std::vector<int> open_flags;
  std::vector<int> closed;
  std::vector<std::pair<int, int>> ops;  // (mt_op, mt_count)
  std::vector<std::vector<uint8_t>> sg_cdbs;
  std::vector<int> sg_directions;
  std::vector<size_t> written;

 private:
  static int Fail(int err) {
    errno = err;
    return -1;
  }
  static ssize_t Answer(std::deque<Result> *script, void *buffer,
                        size_t length) {
    if (script->empty()) return static_cast<ssize_t>(length);
    const Result r = script->front();
    script->pop_front();
    if (r.count < 0) {
      errno = r.err;
      return -1;
    }
    if (buffer != nullptr)
      std::memset(buffer, 'd', static_cast<size_t>(r.count));
    return r.count;
  }
};

class StBackendTest : public ::testing::Test {
 protected:
  std::unique_ptr<TapeBackend> Open(bool writable = true) {
    uint32_t error = 0;
    auto drive = OpenStDrive("/dev/nst0", writable, kernel_, &error);
    EXPECT_EQ(0u, error);
    return drive;
  }
  // Read: 0 with the count in *done, or the failure's code.
  uint32_t Read(TapeBackend *drive, uint32_t *done) {
    uint32_t error = 0;
    char buffer[512];
    return drive->Read(buffer, sizeof buffer, done, &error) ? 0 : error;
  }
  uint32_t Write(TapeBackend *drive, uint32_t *done) {
    uint32_t error = 0;
    char buffer[512] = {};
    return drive->Write(buffer, sizeof buffer, done, &error) ? 0 : error;
  }

  FakeKernel kernel_;
};

TEST_F(StBackendTest, AnEmptyDriveOpensAndTheStatusBitsSayWhy) {
  kernel_.gstat = GMT_DR_OPEN(0xFFFFFFFFul);
  auto drive = Open();
  ASSERT_TRUE(drive);
  EXPECT_EQ(kFd, drive->descriptor());
  ASSERT_EQ(1u, kernel_.open_flags.size());
  // Non-blocking, so the open does not wait for a cartridge.
  EXPECT_EQ(O_RDWR | O_NONBLOCK | O_CLOEXEC, kernel_.open_flags[0]);
  EXPECT_EQ(kErrorNoMediaInDrive, drive->Status());
  TapeMediaParams media;
  uint32_t error = 0;
  EXPECT_FALSE(drive->MediaParams(&media, &error));
  EXPECT_EQ(kErrorNoMediaInDrive, error);

  kernel_.gstat = 0;  // a cartridge, but the drive is not online yet
  EXPECT_EQ(kErrorNotReady, drive->Status());
  kernel_.gstat = GMT_ONLINE(0xFFFFFFFFul) | GMT_BOT(0xFFFFFFFFul);
  EXPECT_EQ(0u, drive->Status());
  kernel_.status_error = ENOMEDIUM;
  EXPECT_EQ(kErrorNoMediaInDrive, drive->Status());
  kernel_.status_error = EIO;
  EXPECT_EQ(kErrorIoDevice, drive->Status());
}

TEST_F(StBackendTest, OpenFailuresKeepTheirMeaning) {
  uint32_t error = 0;
  kernel_.open_errors = {ENOENT};
  EXPECT_FALSE(OpenStDrive("/dev/nst9", true, kernel_, &error));
  EXPECT_EQ(kErrorFileNotFound, error);
  kernel_.open_errors = {EBUSY};
  EXPECT_FALSE(OpenStDrive("/dev/nst0", true, kernel_, &error));
  EXPECT_EQ(kErrorBusy, error);
  kernel_.open_errors = {EINTR, 0};  // an interrupted open is repeated
  EXPECT_TRUE(OpenStDrive("/dev/nst0", true, kernel_, &error));
  EXPECT_EQ(0u, error);
}

TEST_F(StBackendTest, WriteProtectionFromTheBitOrFromARefusedOpen) {
  {
    kernel_.gstat = GMT_ONLINE(0xFFFFFFFFul) | GMT_WR_PROT(0xFFFFFFFFul);
    auto drive = Open();
    TapeMediaParams media;
    uint32_t error = 0, done = 0;
    ASSERT_TRUE(drive->MediaParams(&media, &error));
    EXPECT_TRUE(media.write_protected);
    // st refuses the write itself with EACCES.
    kernel_.writes = {{-1, EACCES}};
    EXPECT_EQ(kErrorWriteProtect, Write(drive.get(), &done));
    kernel_.op_errors = {EACCES};
    EXPECT_EQ(kErrorWriteProtect, drive->WriteTapemarks(2));
  }
  // st refuses a read-write open of a protected cartridge with EROFS: the
  // drive is opened read-only, reports the protection, and still reads.
  kernel_.gstat = GMT_ONLINE(0xFFFFFFFFul);
  kernel_.open_flags.clear();
  kernel_.written.clear();
  kernel_.ops.clear();
  kernel_.open_errors = {EROFS, 0};
  auto drive = Open();
  ASSERT_TRUE(drive);
  ASSERT_EQ(2u, kernel_.open_flags.size());
  EXPECT_EQ(O_RDONLY | O_NONBLOCK | O_CLOEXEC, kernel_.open_flags[1]);
  TapeMediaParams media;
  uint32_t error = 0, done = 0;
  ASSERT_TRUE(drive->MediaParams(&media, &error));
  EXPECT_TRUE(media.write_protected);
  EXPECT_EQ(kErrorWriteProtect, Write(drive.get(), &done));
  EXPECT_EQ(kErrorWriteProtect, drive->WriteTapemarks(2));
  EXPECT_TRUE(kernel_.written.empty());
  EXPECT_TRUE(kernel_.ops.empty());
  EXPECT_EQ(0u, Read(drive.get(), &done));
  EXPECT_EQ(512u, done);
}

TEST_F(StBackendTest, BlockSizeIsSetInFixedModeAndReadBack) {
  auto drive = Open();
  uint32_t error = 0;
  ASSERT_TRUE(drive->SetBlockSize(65536, &error));
  ASSERT_EQ(1u, kernel_.ops.size());
  EXPECT_EQ(MTSETBLK, kernel_.ops[0].first);
  EXPECT_EQ(65536, kernel_.ops[0].second);
  kernel_.op_errors = {EINVAL};
  EXPECT_FALSE(drive->SetBlockSize(3, &error));
  EXPECT_EQ(kErrorInvalidParameter, error);
  EXPECT_FALSE(drive->SetBlockSize(0x01000000, &error));  // beyond mtio
  EXPECT_EQ(2u, kernel_.ops.size());

  // The density code in the upper byte of mt_dsreg is not the block size.
  kernel_.dsreg = (0x25L << MT_ST_DENSITY_SHIFT) | 4096;
  TapeMediaParams media;
  ASSERT_TRUE(drive->MediaParams(&media, &error));
  EXPECT_EQ(4096u, media.block_size);
  EXPECT_EQ(1u, media.partition_count);
  EXPECT_FALSE(media.write_protected);
}

TEST_F(StBackendTest, BlockLimitsComeFromTheDriveOrTheDefaults) {
  auto drive = Open();
  TapeDriveParams params;
  uint32_t error = 0;
  // SG_IO not permitted: the documented defaults.
  ASSERT_TRUE(drive->DriveParams(&params, &error));
  EXPECT_EQ(kStDefaultMinBlock, params.minimum_block_size);
  EXPECT_EQ(kStDefaultMaxBlock, params.maximum_block_size);
  ASSERT_EQ(1u, kernel_.sg_cdbs.size());
  EXPECT_EQ(std::vector<uint8_t>({0x05, 0, 0, 0, 0, 0}), kernel_.sg_cdbs[0]);
  EXPECT_EQ(SG_DXFER_FROM_DEV, kernel_.sg_directions[0]);

  // READ BLOCK LIMITS: granularity, 24-bit maximum, 16-bit minimum.
  kernel_.sg_error = 0;
  const uint8_t limits[6] = {0x00, 0x04, 0x00, 0x00, 0x02, 0x00};
  std::memcpy(kernel_.block_limits, limits, sizeof limits);
  ASSERT_TRUE(drive->DriveParams(&params, &error));
  EXPECT_EQ(512u, params.minimum_block_size);
  EXPECT_EQ(262144u, params.maximum_block_size);
  EXPECT_EQ(65536u, params.default_block_size);

  // A maximum of 0 names no limit.
  const uint8_t open_ended[6] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  std::memcpy(kernel_.block_limits, open_ended, sizeof open_ended);
  ASSERT_TRUE(drive->DriveParams(&params, &error));
  EXPECT_EQ(1u, params.minimum_block_size);
  EXPECT_EQ(kStDefaultMaxBlock, params.maximum_block_size);

  // A drive that answers with a check condition is not believed.
  kernel_.sg_status = 0x02;
  std::memcpy(kernel_.block_limits, limits, sizeof limits);
  ASSERT_TRUE(drive->DriveParams(&params, &error));
  EXPECT_EQ(kStDefaultMaxBlock, params.maximum_block_size);
}

TEST_F(StBackendTest, FileMarksAndUnload) {
  auto drive = Open();
  EXPECT_EQ(0u, drive->WriteTapemarks(2));
  EXPECT_EQ(0u, drive->Unload());
  ASSERT_EQ(2u, kernel_.ops.size());
  EXPECT_EQ(std::make_pair(int{MTWEOF}, 2), kernel_.ops[0]);
  EXPECT_EQ(std::make_pair(int{MTOFFL}, 1), kernel_.ops[1]);
  kernel_.op_errors = {ENOSPC, EIO, EINTR, 0};
  EXPECT_EQ(kErrorEndOfMedia, drive->WriteTapemarks(2));
  EXPECT_EQ(kErrorIoDevice, drive->Unload());
  EXPECT_EQ(0u, drive->Unload());  // EINTR was repeated
}

TEST_F(StBackendTest, TheEndOfMediaAndTheEndOfDataAreTapeConditions) {
  auto drive = Open();
  uint32_t done = 0;
  // ENOSPC on a tape is the end of the media, not a full disk.
  kernel_.writes = {{-1, ENOSPC}, {300, 0}};
  EXPECT_EQ(kErrorEndOfMedia, Write(drive.get(), &done));
  // A short count goes up unchanged.
  EXPECT_EQ(0u, Write(drive.get(), &done));
  EXPECT_EQ(300u, done);

  kernel_.reads = {{0, 0}};
  kernel_.gstat = GMT_ONLINE(0xFFFFFFFFul) | GMT_EOF(0xFFFFFFFFul);
  EXPECT_EQ(kErrorFilemarkDetected, Read(drive.get(), &done));
  kernel_.reads = {{0, 0}, {-1, EIO}};
  kernel_.gstat = GMT_ONLINE(0xFFFFFFFFul) | GMT_EOD(0xFFFFFFFFul);
  EXPECT_EQ(kErrorNoDataDetected, Read(drive.get(), &done));
  EXPECT_EQ(kErrorNoDataDetected, Read(drive.get(), &done));
  kernel_.gstat = GMT_ONLINE(0xFFFFFFFFul);
  kernel_.reads = {
      {-1, ENOSPC}, {-1, ENOMEM}, {-1, EIO}, {-1, EINTR}, {128, 0}};
  EXPECT_EQ(kErrorEndOfMedia, Read(drive.get(), &done));
  EXPECT_EQ(234u, Read(drive.get(), &done));  // record beyond the buffer
  EXPECT_EQ(kErrorIoDevice, Read(drive.get(), &done));
  EXPECT_EQ(0u, Read(drive.get(), &done));
  EXPECT_EQ(128u, done);
}

TEST_F(StBackendTest, CloseReleasesTheDescriptorOnce) {
  auto drive = Open();
  uint32_t error = 0;
  EXPECT_TRUE(drive->Close(&error));
  drive.reset();
  EXPECT_EQ(std::vector<int>({kFd}), kernel_.closed);

  // A drive never closed is closed when dropped; a failed flush is told.
  drive = Open();
  kernel_.close_error = ENOSPC;
  EXPECT_FALSE(drive->Close(&error));
  EXPECT_EQ(kErrorEndOfMedia, error);
  drive.reset();
  drive = Open();
  kernel_.close_error = 0;
  drive.reset();
  EXPECT_EQ(std::vector<int>({kFd, kFd, kFd}), kernel_.closed);
}

}  // namespace
}  // namespace kor
