// The Linux SCSI tape (st) driver as a tape backend.
//
// Through <linux/mtio.h>:
//   status           MTIOCGET: GMT_DR_OPEN no cartridge (1112), no
//                    GMT_ONLINE not ready (21), else ready
//   write protection GMT_WR_PROT, or a drive that refused a read-write open
//                    with EROFS (it is then opened read-only: a restore
//                    still works, writes fail with 19)
//   block size       MTSETBLK (fixed-block mode); the current size is
//                    mt_dsreg's MT_ST_BLKSIZE bits
//   file marks       MTWEOF
//   unload           MTOFFL (rewinds, then unloads)
// The drive's block limits are not in mtio: they are asked of the drive
// with SCSI READ BLOCK LIMITS through SG_IO where that is permitted, else
// kStDefaultMinBlock / kStDefaultMaxBlock are given (what MTSETBLK can
// express); a size the drive then refuses fails at MTSETBLK.
//
// Results of reads and writes, in Win32 terms:
//   read() 0 at a file mark          1101 (st has moved past it)
//   read() 0 with GMT_EOD            1104 (no more recorded data)
//   ENOSPC                           1100 (end of media), not a full disk
//   ENOMEM on a read                 234 (record longer than the buffer)
//   EACCES / EROFS on a write        19 (write protected)
//   ENOMEDIUM                        1112
//   a short write                    passed on as a short count
// The device is opened with O_NONBLOCK, so an empty drive opens, as a
// Windows tape handle does, and its status then says 1112.
//
// Every system call goes through StKernel, so tests can play the kernel.
#ifndef KORBR_OS_TAPE_ST_BACKEND_H_
#define KORBR_OS_TAPE_ST_BACKEND_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "os/tape/tape_backend.h"

namespace kor {

constexpr uint32_t kStDefaultMinBlock = 1;
constexpr uint32_t kStDefaultMaxBlock = 0x00FFFFFF;

// The system calls of the st backend.  Each returns what the system call
// returns, with errno set on failure.
class StKernel {
 public:
  virtual ~StKernel() = default;
  virtual int Open(const char *path, int flags) = 0;
  virtual int Close(int fd) = 0;
  virtual ssize_t Read(int fd, void *buffer, size_t length) = 0;
  virtual ssize_t Write(int fd, const void *buffer, size_t length) = 0;
  virtual int Ioctl(int fd, unsigned long request, void *argument) = 0;
};

// The real system calls.
StKernel &SystemStKernel();

// The kernel the POSIX layer drives st devices through: the system's
// unless a test has installed another.
StKernel &ActiveStKernel();

// Installs `kernel` for every st device opened from now on (nullptr
// restores the system's) and returns the previous one.  For tests that
// drive the st backend through the library; the caller keeps ownership and
// must not install while a drive is open.
StKernel *SetStKernelForTesting(StKernel *kernel);

// Opens the st device node `path` (read-write when `writable`).  Null with
// *error set when the node cannot be opened.
std::unique_ptr<TapeBackend> OpenStDrive(const std::string &path, bool writable,
                                         StKernel &kernel, uint32_t *error);

}  // namespace kor

#endif  // KORBR_OS_TAPE_ST_BACKEND_H_
