// The virtual drive as an open device (OpenVirtualDrive): which cartridge
// is in the drive, followed through the state file as an operator changes
// it; the drive's parameters; unloading.  Records themselves are read and
// written in vtape_records.cc.
#include "os/tape/vtape_drive.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "os/posix/retry.h"
#include "os/posix_os.h"
#include "os/tape/virtual_tape.h"
#include "os/tape/vtape_files.h"
#include "os/win32_codes.h"

namespace kor {
namespace vtape {
namespace {

// The block size the drive suggests, within its limits.
constexpr uint32_t kDefaultBlock = 65536;

bool TakeStamp(const std::string &path, Stamp *stamp) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  stamp->dev = st.st_dev;
  stamp->ino = st.st_ino;
  stamp->size = st.st_size;
  stamp->mtime = st.st_mtim;
  stamp->ctime = st.st_ctim;
  return true;
}

}  // namespace

uint32_t VirtualDrive::Refresh(bool force) {
  const std::string path = VtapeStatePath(dir_);
  Stamp stamp;
  if (!TakeStamp(path, &stamp)) return Win32ErrorFromErrno(errno);
  if (!force && have_state_ && stamp == stamp_) return 0;
  std::string text, why;
  if (!vtape::ReadSmallFile(path, &text)) return Win32ErrorFromErrno(errno);
  VirtualDriveState state;
  if (!ParseVtapeState(text, &state, &why)) return kErrorIoDevice;
  state_ = state;
  stamp_ = stamp;
  have_state_ = true;
  // Another cartridge, or the same one taken out and put back: the tape is
  // at its beginning.
  if (state_.loaded != cartridge_ || state_.generation != generation_) {
    CloseImage();
    cartridge_ = state_.loaded;
    generation_ = state_.generation;
    position_ = 0;
  }
  return 0;
}

uint32_t VirtualDrive::Ready(bool force) {
  const uint32_t code = Refresh(force);
  if (code != 0) return code;
  if (cartridge_ == 0) return kErrorNoMediaInDrive;
  if (image_fd_ < 0) {
    const std::string path = CartridgePath(dir_, cartridge_);
    image_fd_ = RetryOnInterrupt([&] {
      return ::open(path.c_str(),
                    (writable_ ? O_RDWR | O_NOFOLLOW : O_RDONLY) | O_CLOEXEC);
    });
    // A cartridge whose image is gone cannot be read: the drive is not
    // ready with it.  One replaced by a link is not written through.
    if (image_fd_ < 0) {
      if (errno == ENOENT) return kErrorNotReady;
      return errno == ELOOP ? kErrorStoppedOnSymlink
                            : Win32ErrorFromErrno(errno);
    }
    // An image made before backup files were kept from other users loses
    // the access it should never have had.
    uint32_t mode;
    if (writable_ && BackupFileMode(&mode))
      ApplyBackupFileMode(image_fd_, mode);
  }
  return 0;
}

void VirtualDrive::CloseImage() {
  if (image_fd_ >= 0) ::close(image_fd_);
  image_fd_ = -1;
}

uint32_t VirtualDrive::MayWrite() {
  const uint32_t code = Ready(false);
  if (code != 0) return code;
  if (!writable_) return kErrorAccessDenied;
  if (state_.IsProtected(cartridge_)) return kErrorWriteProtect;
  return 0;
}

uint32_t VirtualDrive::Unload() {
  const uint32_t code = Ready(true);
  if (code != 0) return code;
  // What was written to the cartridge must survive the machine before the
  // cartridge leaves the drive, as on a real drive whose buffer is written
  // out at unload.  KOR_NO_FLUSH skips it (test suites, benchmarks).
  if (image_fd_ >= 0 && std::getenv("KOR_NO_FLUSH") == nullptr &&
      RetryOnInterrupt([&] { return ::fdatasync(image_fd_); }) != 0)
    return Win32ErrorFromErrno(errno);
  CloseImage();
  std::string why;
  bool emptied_meanwhile = false;
  const bool ok = UpdateVirtualDrive(
      dir_,
      [&](VirtualDriveState *s, std::string *) {
        if (s->loaded == 0) {
          emptied_meanwhile = true;
          return false;
        }
        s->loaded = s->stacker && s->loaded < s->cartridges ? s->loaded + 1 : 0;
        ++s->generation;
        return true;
      },
      &why);
  if (!ok) return emptied_meanwhile ? kErrorNoMediaInDrive : kErrorIoDevice;
  return Refresh(true);
}

bool VirtualDrive::MediaParams(TapeMediaParams *params, uint32_t *error) {
  *error = Ready(true);
  if (*error != 0) return false;
  params->capacity = static_cast<int64_t>(state_.capacity);
  params->remaining = static_cast<int64_t>(
      state_.capacity > position_ ? state_.capacity - position_ : 0);
  params->block_size = block_size_;
  params->partition_count = 1;
  params->write_protected = state_.IsProtected(cartridge_);
  return true;
}

bool VirtualDrive::DriveParams(TapeDriveParams *params, uint32_t *error) {
  // The drive answers without a cartridge.
  *error = Refresh(true);
  if (*error != 0) return false;
  *params = TapeDriveParams();
  params->minimum_block_size = state_.min_block;
  params->maximum_block_size = state_.max_block;
  params->default_block_size =
      std::min(std::max(kDefaultBlock, state_.min_block), state_.max_block);
  params->maximum_partition_count = 1;
  return true;
}

bool VirtualDrive::SetBlockSize(uint32_t block_size, uint32_t *error) {
  *error = Ready(true);
  if (*error != 0) return false;
  if (block_size != 0 &&
      (block_size < state_.min_block || block_size > state_.max_block)) {
    *error = kErrorInvalidParameter;
    return false;
  }
  block_size_ = block_size;
  return true;
}

bool VirtualDrive::Close(uint32_t *error) {
  *error = 0;
  CloseImage();
  const int fd = dir_fd_;
  dir_fd_ = -1;
  // Linux releases the descriptor even when close() fails.
  if (::close(fd) != 0 && errno != EINTR) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace vtape

using vtape::VirtualDrive;

std::unique_ptr<TapeBackend> OpenVirtualDrive(const std::string &drive,
                                              bool writable, bool exclusive,
                                              uint32_t *error) {
  *error = 0;
  if (!IsVirtualDrive(drive)) {
    *error = kErrorFileNotFound;
    return nullptr;
  }
  const int fd = RetryOnInterrupt([&] {
    return ::open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  if (exclusive &&
      RetryOnInterrupt([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    *error = errno == EWOULDBLOCK ? kErrorSharingViolation
                                  : Win32ErrorFromErrno(errno);
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<VirtualDrive> backend(new (std::nothrow)
                                            VirtualDrive(drive, fd, writable));
  if (!backend) {
    ::close(fd);
    *error = kErrorNotEnoughMemory;
    return nullptr;
  }
  // The state must be readable for the drive to be one; an empty drive is
  // fine (its status says so).
  *error = backend->Refresh(true);
  if (*error != 0) return nullptr;
  return backend;
}

}  // namespace kor
