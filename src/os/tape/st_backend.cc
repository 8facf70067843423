#include "os/tape/st_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/mtio.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "os/posix_os.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

constexpr uint32_t kDefaultBlock = 65536;
// SCSI READ BLOCK LIMITS: operation code, answer length, and how long the
// drive may take.
constexpr uint8_t kReadBlockLimits = 0x05;
constexpr size_t kBlockLimitsSize = 6;
constexpr unsigned kScsiTimeoutMs = 10000;

class SystemKernel final : public StKernel {
 public:
  int Open(const char *path, int flags) override { return ::open(path, flags); }
  int Close(int fd) override { return ::close(fd); }
  ssize_t Read(int fd, void *buffer, size_t length) override {
    return ::read(fd, buffer, length);
  }
  ssize_t Write(int fd, const void *buffer, size_t length) override {
    return ::write(fd, buffer, length);
  }
  int Ioctl(int fd, unsigned long request, void *argument) override {
    return ::ioctl(fd, request, argument);
  }
};

// The codes every tape operation shares; the rest as the POSIX layer
// translates errno.
uint32_t TapeError(int err) {
  switch (err) {
    case ENOSPC:
      return kErrorEndOfMedia;
#ifdef ENOMEDIUM
    case ENOMEDIUM:
      return kErrorNoMediaInDrive;
#endif
    default:
      return Win32ErrorFromErrno(err);
  }
}

// A write or a file mark refused: st says EACCES for a protected cartridge
// and EROFS when the node was opened for writing onto one.
uint32_t TapeWriteError(int err) {
  if (err == EACCES || err == EROFS) return kErrorWriteProtect;
  return TapeError(err);
}

class StDrive final : public TapeBackend {
 public:
  StDrive(StKernel &kernel, int fd, bool read_only)
      : kernel_(kernel), fd_(fd), read_only_(read_only) {}
  ~StDrive() override {
    if (fd_ >= 0) kernel_.Close(fd_);
  }

  int descriptor() const override { return fd_; }
  bool Read(void *buffer, uint32_t length, uint32_t *done,
            uint32_t *error) override;
  bool Write(const void *buffer, uint32_t length, uint32_t *done,
             uint32_t *error) override;
  uint32_t Status() override;
  bool MediaParams(TapeMediaParams *params, uint32_t *error) override;
  bool DriveParams(TapeDriveParams *params, uint32_t *error) override;
  bool SetBlockSize(uint32_t block_size, uint32_t *error) override;
  uint32_t WriteTapemarks(uint32_t count) override;
  uint32_t Unload() override;
  bool Close(uint32_t *error) override;

 private:
  // MTIOCGET.  0 with *status, or the code of the failure.
  uint32_t GetStatus(struct mtget *status);
  // One MTIOCTOP.  0 or errno.
  int Operation(short op, int count);
  // READ BLOCK LIMITS through SG_IO; false when the drive cannot be asked.
  bool AskBlockLimits(uint32_t *min_block, uint32_t *max_block);

  StKernel &kernel_;
  int fd_;
  const bool read_only_;  // opened read-only: the cartridge is protected
};

uint32_t StDrive::GetStatus(struct mtget *status) {
  std::memset(status, 0, sizeof *status);
  int r;
  do {
    r = kernel_.Ioctl(fd_, MTIOCGET, status);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? TapeError(errno) : 0;
}

int StDrive::Operation(short op, int count) {
  struct mtop request;
  request.mt_op = op;
  request.mt_count = count;
  int r;
  do {
    r = kernel_.Ioctl(fd_, MTIOCTOP, &request);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? errno : 0;
}

uint32_t StDrive::Status() {
  struct mtget status;
  const uint32_t code = GetStatus(&status);
  if (code != 0) return code;
  if (GMT_DR_OPEN(status.mt_gstat)) return kErrorNoMediaInDrive;
  if (!GMT_ONLINE(status.mt_gstat)) return kErrorNotReady;
  return 0;
}

bool StDrive::Read(void *buffer, uint32_t length, uint32_t *done,
                   uint32_t *error) {
  *done = 0;
  *error = 0;
  ssize_t n;
  do {
    n = kernel_.Read(fd_, buffer, length);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    *done = static_cast<uint32_t>(n);
    return true;
  }
  if (n < 0) {
    const int err = errno;
    *error = err == ENOMEM ? kErrorMoreData : TapeError(err);
    if (err == EIO) {
      // Reading on after the end of the data ends in EIO; say so plainly.
      struct mtget status;
      if (GetStatus(&status) == 0 && GMT_EOD(status.mt_gstat))
        *error = kErrorNoDataDetected;
    }
    return false;
  }
  // A zero count is a file mark (st has moved past it) or the end of the
  // recorded data; the status tells which.
  struct mtget status;
  *error = GetStatus(&status) == 0 && GMT_EOD(status.mt_gstat)
               ? kErrorNoDataDetected
               : kErrorFilemarkDetected;
  return false;
}

bool StDrive::Write(const void *buffer, uint32_t length, uint32_t *done,
                    uint32_t *error) {
  *done = 0;
  *error = 0;
  if (read_only_) {
    *error = kErrorWriteProtect;
    return false;
  }
  ssize_t n;
  do {
    n = kernel_.Write(fd_, buffer, length);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    *error = TapeWriteError(errno);
    return false;
  }
  // A short count (the early-warning point in fixed-block mode) goes up as
  // it is: the data path takes it for the end of the tape.
  *done = static_cast<uint32_t>(n);
  return true;
}

bool StDrive::MediaParams(TapeMediaParams *params, uint32_t *error) {
  struct mtget status;
  *error = GetStatus(&status);
  if (*error != 0) return false;
  if (GMT_DR_OPEN(status.mt_gstat)) {
    *error = kErrorNoMediaInDrive;
    return false;
  }
  // mtio reports neither capacity nor space left: both stay 0.
  *params = TapeMediaParams();
  params->block_size = static_cast<uint32_t>(
      (static_cast<unsigned long>(status.mt_dsreg) & MT_ST_BLKSIZE_MASK) >>
      MT_ST_BLKSIZE_SHIFT);
  params->partition_count = 1;
  params->write_protected = read_only_ || GMT_WR_PROT(status.mt_gstat) != 0;
  return true;
}

bool StDrive::AskBlockLimits(uint32_t *min_block, uint32_t *max_block) {
  uint8_t cdb[6] = {kReadBlockLimits, 0, 0, 0, 0, 0};
  uint8_t answer[kBlockLimitsSize] = {};
  uint8_t sense[32] = {};
  sg_io_hdr_t io;
  std::memset(&io, 0, sizeof io);
  io.interface_id = 'S';
  io.dxfer_direction = SG_DXFER_FROM_DEV;
  io.cmd_len = sizeof cdb;
  io.cmdp = cdb;
  io.dxfer_len = sizeof answer;
  io.dxferp = answer;
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.timeout = kScsiTimeoutMs;
  int r;
  do {
    r = kernel_.Ioctl(fd_, SG_IO, &io);
  } while (r < 0 && errno == EINTR);
  // Not permitted, not supported, or the drive said no: use the defaults.
  if (r < 0 || io.status != 0 || io.host_status != 0 || io.driver_status != 0 ||
      io.resid != 0)
    return false;
  const uint32_t max_length = static_cast<uint32_t>(answer[1]) << 16 |
                              static_cast<uint32_t>(answer[2]) << 8 | answer[3];
  const uint32_t min_length = static_cast<uint32_t>(answer[4]) << 8 | answer[5];
  // A maximum of 0 means the drive names none.
  *max_block = max_length == 0 ? kStDefaultMaxBlock
                               : std::min(max_length, kStDefaultMaxBlock);
  *min_block = min_length == 0 ? kStDefaultMinBlock : min_length;
  return *min_block <= *max_block;
}

bool StDrive::DriveParams(TapeDriveParams *params, uint32_t *error) {
  *error = 0;
  uint32_t min_block = kStDefaultMinBlock, max_block = kStDefaultMaxBlock;
  if (!AskBlockLimits(&min_block, &max_block)) {
    min_block = kStDefaultMinBlock;
    max_block = kStDefaultMaxBlock;
  }
  *params = TapeDriveParams();
  params->minimum_block_size = min_block;
  params->maximum_block_size = max_block;
  params->default_block_size =
      std::min(std::max(kDefaultBlock, min_block), max_block);
  params->maximum_partition_count = 1;
  return true;
}

bool StDrive::SetBlockSize(uint32_t block_size, uint32_t *error) {
  if (block_size > MT_ST_BLKSIZE_MASK) {
    *error = kErrorInvalidParameter;
    return false;
  }
  const int err = Operation(MTSETBLK, static_cast<int>(block_size));
  *error = err == 0 ? 0 : TapeError(err);
  return err == 0;
}

uint32_t StDrive::WriteTapemarks(uint32_t count) {
  if (read_only_) return kErrorWriteProtect;
  if (count > 0x7FFFFFFFu) return kErrorInvalidParameter;
  const int err = Operation(MTWEOF, static_cast<int>(count));
  return err == 0 ? 0 : TapeWriteError(err);
}

uint32_t StDrive::Unload() {
  const int err = Operation(MTOFFL, 1);
  return err == 0 ? 0 : TapeError(err);
}

bool StDrive::Close(uint32_t *error) {
  *error = 0;
  const int fd = fd_;
  fd_ = -1;
  // Linux releases the descriptor even when close() fails or is
  // interrupted; a failure here is st reporting a failed flush.
  if (kernel_.Close(fd) != 0 && errno != EINTR) {
    *error = TapeWriteError(errno);
    return false;
  }
  return true;
}

}  // namespace

StKernel &SystemStKernel() {
  static SystemKernel kernel;
  return kernel;
}

namespace {
std::atomic<StKernel *> g_test_kernel{nullptr};
}  // namespace

StKernel &ActiveStKernel() {
  StKernel *kernel = g_test_kernel.load(std::memory_order_acquire);
  return kernel != nullptr ? *kernel : SystemStKernel();
}

StKernel *SetStKernelForTesting(StKernel *kernel) {
  return g_test_kernel.exchange(kernel, std::memory_order_acq_rel);
}

std::unique_ptr<TapeBackend> OpenStDrive(const std::string &path, bool writable,
                                         StKernel &kernel, uint32_t *error) {
  *error = 0;
  const int base = O_NONBLOCK | O_CLOEXEC;
  bool read_only = !writable;
  int fd;
  do {
    fd = kernel.Open(path.c_str(), base | (writable ? O_RDWR : O_RDONLY));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && writable && errno == EROFS) {
    // st refuses a read-write open of a write-protected cartridge; Windows
    // opens it and reports the protection.  Read-only, a restore still
    // works and a backup sees the protection in the media parameters.
    read_only = true;
    do {
      fd = kernel.Open(path.c_str(), base | O_RDONLY);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    *error = TapeError(errno);
    return nullptr;
  }
  std::unique_ptr<TapeBackend> drive(new (std::nothrow)
                                         StDrive(kernel, fd, read_only));
  if (!drive) {
    kernel.Close(fd);
    *error = kErrorNotEnoughMemory;
  }
  return drive;
}

}  // namespace kor
