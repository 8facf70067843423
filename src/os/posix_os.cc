// The OS layer on Linux and other POSIX systems.
//
// Divisions: errno translation and system texts; the PosixOs class (files,
// free space, current directory, tapes, time, environment, output);
// PlatformOs().
//
// Files keep Win32 meaning: a read or write on a regular file moves the
// whole count unless it meets the end of the file or an error, and
// CreateFile's "share none" is emulated with flock(), since POSIX has no
// mandatory sharing modes.  Tape drive names are not served yet.
#include "os/posix_os.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/os_layer.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

// --- errno translation and system texts -----------------------------------

struct ErrnoCode {
  int err;
  uint32_t code;
};

// errno values and the Win32 codes of the same meaning.  Several errno
// values share a code; the first entry of a code is where the last errno
// translated to it is remembered.
constexpr ErrnoCode kErrnoCodes[] = {
    {ENOSPC, kErrorDiskFull},
#ifdef EDQUOT
    {EDQUOT, kErrorDiskFull},
#endif
    {EINTR, kErrorOperationAborted},
    {EBADF, kErrorInvalidHandle},
    {ENOENT, kErrorFileNotFound},
    {ENOTDIR, kErrorPathNotFound},
    {EACCES, kErrorAccessDenied},
    {EPERM, kErrorAccessDenied},
    {EISDIR, kErrorAccessDenied},
    {EROFS, kErrorWriteProtect},
    {EEXIST, kErrorFileExists},
    {EBUSY, kErrorBusy},
    {EAGAIN, kErrorSharingViolation},
    {EWOULDBLOCK, kErrorSharingViolation},
    {ENAMETOOLONG, kErrorFilenameTooLong},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {ENOMEM, kErrorNotEnoughMemory},
    {EINVAL, kErrorInvalidParameter},
    {EIO, kErrorIoDevice},
    {EFBIG, kErrorFileTooLarge},
#ifdef ENOMEDIUM
    {ENOMEDIUM, kErrorNoMediaInDrive},
#endif
    {ESPIPE, kErrorSeek},
    {EPIPE, kErrorBrokenPipe},
    {ENXIO, kErrorNotReady},
};
constexpr size_t kErrnoCodeCount = sizeof kErrnoCodes / sizeof kErrnoCodes[0];

// Per thread, because a code is turned into text by the thread whose call
// failed, right after the failure.  0 = nothing translated yet.
thread_local int t_last_errno[kErrnoCodeCount] = {};

// Index of the first table entry for `code`, or kErrnoCodeCount.
size_t FirstEntryOf(uint32_t code) {
  for (size_t i = 0; i < kErrnoCodeCount; ++i) {
    if (kErrnoCodes[i].code == code) return i;
  }
  return kErrnoCodeCount;
}

// strerror_r comes in two kinds: GNU returns the text (which may not be in
// the buffer), XSI returns 0 and fills the buffer.  Overloading on the
// result type picks the right reading for whichever the library declares.
[[maybe_unused]] inline const char *StrerrorResult(const char *text,
                                                   const char * /*buffer*/) {
  return text;
}
[[maybe_unused]] inline const char *StrerrorResult(int result,
                                                   const char *buffer) {
  return result == 0 ? buffer : nullptr;
}

std::string ErrnoText(int err) {
  char buffer[256];
  buffer[0] = '\0';
  const char *text =
      StrerrorResult(strerror_r(err, buffer, sizeof buffer), buffer);
  if (text == nullptr || text[0] == '\0') {
    return "errno " + std::to_string(err);
  }
  return text;
}

// Repeats a system call that a signal interrupted.  Every call that can
// meet EINTR goes through here, except close() (see CloseHandle) and
// nanosleep() (which resumes with the time left).
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// The descriptor behind a handle, or false when it cannot be one.
bool ToDescriptor(OsHandle handle, int *fd) {
  if (handle < 0 || handle > INT_MAX) return false;
  *fd = static_cast<int>(handle);
  return true;
}

// Only regular files promise that a short transfer was not the whole
// answer; pipes and devices give what they have.
bool IsRegularFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool IsTapeDeviceName(const std::string &name) {
  return name.compare(0, 4, "\\\\.\\") == 0;
}

// --- PosixOs ---------------------------------------------------------------

class PosixOs final : public OsLayer {
 public:
  OsHandle OpenFile(const std::string &name, uint32_t access, uint32_t share,
                    uint32_t creation, uint32_t *error) override;
  bool ReadFile(OsHandle handle, void *buffer, uint32_t length,
                uint32_t *done, uint32_t *error) override;
  bool WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                 uint32_t *done, uint32_t *error) override;
  bool CloseHandle(OsHandle handle, uint32_t *error) override;
  uint32_t GetFileAttributes(const std::string &name) override;
  bool GetDiskFreeSpace(const std::string &directory, uint64_t *free_bytes,
                        uint32_t *error) override;
  bool GetCurrentDirectory(std::string *directory) override;
  std::string SystemErrorText(uint32_t code) override;
  PathStyle path_style() const override { return PathStyle::kPosix; }

  uint32_t GetTapeStatus(OsHandle) override { return kErrorNotSupported; }
  bool GetTapeMediaParams(OsHandle, TapeMediaParams *,
                          uint32_t *error) override {
    *error = kErrorNotSupported;
    return false;
  }
  bool GetTapeDriveParams(OsHandle, TapeDriveParams *,
                          uint32_t *error) override {
    *error = kErrorNotSupported;
    return false;
  }
  bool SetTapeBlockSize(OsHandle, uint32_t, uint32_t *error) override {
    *error = kErrorNotSupported;
    return false;
  }
  uint32_t WriteTapemarks(OsHandle, uint32_t) override {
    return kErrorNotSupported;
  }
  uint32_t UnloadTape(OsHandle) override { return kErrorNotSupported; }

  void Sleep(uint32_t milliseconds) override;
  uint32_t TickCount() override;
  bool GetProcessTimes(ProcessTimes *times) override;
  bool GetEnv(const std::string &name, std::string *value) override;
  void WriteTraceLine(const std::string &line) override;
};

// Closes a descriptor that OpenFile will not hand out, and gives the
// code of the errno that made it give up (taken before close can touch it).
OsHandle AbandonOpen(int fd, int err, uint32_t *error) {
  *error = Win32ErrorFromErrno(err);
  ::close(fd);
  return kInvalidOsHandle;
}

OsHandle PosixOs::OpenFile(const std::string &name, uint32_t access,
                           uint32_t share, uint32_t creation,
                           uint32_t *error) {
  *error = 0;
  if (IsTapeDeviceName(name)) {
    *error = kErrorNotSupported;
    return kInvalidOsHandle;
  }
  const bool reads = (access & kGenericRead) != 0;
  const bool writes = (access & kGenericWrite) != 0;
  int flags = O_CLOEXEC;
  if (reads && writes) {
    flags |= O_RDWR;
  } else if (writes) {
    flags |= O_WRONLY;
  } else if (reads) {
    flags |= O_RDONLY;
  } else {
    *error = kErrorInvalidParameter;
    return kInvalidOsHandle;
  }
  if (creation == kCreateAlways) {
    // No O_TRUNC: the file is truncated only once the lock is ours, so an
    // opener that is refused never destroys the holder's data.
    flags |= O_CREAT;
  } else if (creation != kOpenExisting) {
    *error = kErrorInvalidParameter;
    return kInvalidOsHandle;
  }

  const int fd =
      RetryOnInterrupt([&] { return ::open(name.c_str(), flags, 0666); });
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return kInvalidOsHandle;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return AbandonOpen(fd, errno, error);
  // Windows refuses to open a directory as a file; a read-only open()
  // of one succeeds on POSIX, so refuse it here.
  if (S_ISDIR(st.st_mode)) return AbandonOpen(fd, EISDIR, error);
  if (share != kShareReadWrite) {
    const int operation = (writes ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (RetryOnInterrupt([&] { return flock(fd, operation); }) != 0) {
      return AbandonOpen(fd, errno, error);
    }
  }
  if (creation == kCreateAlways && S_ISREG(st.st_mode)) {
    if (RetryOnInterrupt([&] { return ftruncate(fd, 0); }) != 0) {
      return AbandonOpen(fd, errno, error);
    }
  }
  return fd;
}

bool PosixOs::ReadFile(OsHandle handle, void *buffer, uint32_t length,
                       uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  int fd;
  if (!ToDescriptor(handle, &fd)) {
    *error = kErrorInvalidHandle;
    return false;
  }
  char *bytes = static_cast<char *>(buffer);
  uint32_t total = 0;
  for (;;) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return ::read(fd, bytes + total, length - total); });
    if (n < 0) {
      // The bytes already taken cannot be given back; the read fails as a
      // whole, as ReadFile does, and says why.
      *error = Win32ErrorFromErrno(errno);
      return false;
    }
    total += static_cast<uint32_t>(n);
    if (n == 0 || total == length) break;
    if (!IsRegularFile(fd)) break;
  }
  *done = total;
  return true;
}

bool PosixOs::WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                        uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  int fd;
  if (!ToDescriptor(handle, &fd)) {
    *error = kErrorInvalidHandle;
    return false;
  }
  const char *bytes = static_cast<const char *>(buffer);
  uint32_t total = 0;
  for (;;) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return ::write(fd, bytes + total, length - total); });
    if (n < 0) {
      // Bytes already written are on the volume: report them as a short
      // write so that none is ever written twice; the error (a full disk,
      // typically) comes back on the caller's next write.
      if (total > 0) break;
      *error = Win32ErrorFromErrno(errno);
      return false;
    }
    total += static_cast<uint32_t>(n);
    if (n == 0 || total == length) break;
    if (!IsRegularFile(fd)) break;
  }
  *done = total;
  return true;
}

bool PosixOs::CloseHandle(OsHandle handle, uint32_t *error) {
  *error = 0;
  int fd;
  if (!ToDescriptor(handle, &fd)) {
    *error = kErrorInvalidHandle;
    return false;
  }
  if (::close(fd) == 0) return true;
  const int err = errno;
  // Linux releases the descriptor even when close() is interrupted.  Were
  // that reported as 995, the caller would close the number again, and by
  // then another thread may have been given it for another file.
  if (err == EINTR || err == EINPROGRESS) return true;
  *error = Win32ErrorFromErrno(err);
  return false;
}

uint32_t PosixOs::GetFileAttributes(const std::string &name) {
  struct stat st;
  if (RetryOnInterrupt([&] { return stat(name.c_str(), &st); }) != 0) {
    return kInvalidFileAttributes;
  }
  return S_ISDIR(st.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
}

bool PosixOs::GetDiskFreeSpace(const std::string &directory,
                               uint64_t *free_bytes, uint32_t *error) {
  *error = 0;
  struct statvfs fs;
  if (RetryOnInterrupt([&] { return statvfs(directory.c_str(), &fs); }) !=
      0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  const uint64_t unit = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  // f_bavail, not f_bfree: the space this process may use, as Windows
  // gives "free bytes available to the caller".
  *free_bytes = static_cast<uint64_t>(fs.f_bavail) * unit;
  return true;
}

bool PosixOs::GetCurrentDirectory(std::string *directory) {
  // 512 bytes as the Windows caller's buffer: longer names fail (ERANGE).
  char buffer[512];
  if (getcwd(buffer, sizeof buffer) == nullptr) return false;
  *directory = buffer;
  return true;
}

std::string PosixOs::SystemErrorText(uint32_t code) {
  if ((code & kCustomerCodeBit) != 0) {
    const uint32_t low = code & ~kCustomerCodeBit;
    if (low <= static_cast<uint32_t>(INT_MAX)) {
      return ErrnoText(static_cast<int>(low));
    }
  }
  const size_t entry = FirstEntryOf(code);
  if (entry == kErrnoCodeCount) return "Win32 error " + std::to_string(code);
  const int err = t_last_errno[entry] != 0 ? t_last_errno[entry]
                                           : kErrnoCodes[entry].err;
  return ErrnoText(err);
}

void PosixOs::Sleep(uint32_t milliseconds) {
  struct timespec wait;
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  struct timespec left;
  while (nanosleep(&wait, &left) != 0 && errno == EINTR) wait = left;
}

uint32_t PosixOs::TickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                      static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);  // wraps at 2^32 like GetTickCount
}

bool PosixOs::GetProcessTimes(ProcessTimes *times) {
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) != 0) return false;
  // 100 ns units: 10^7 per second, 10 per microsecond.
  auto hundred_ns = [](const struct timeval &tv) {
    return static_cast<uint64_t>(tv.tv_sec) * 10000000u +
           static_cast<uint64_t>(tv.tv_usec) * 10u;
  };
  times->creation = 0;
  times->exit = 0;
  times->kernel = hundred_ns(usage.ru_stime);
  times->user = hundred_ns(usage.ru_utime);
  return true;
}

bool PosixOs::GetEnv(const std::string &name, std::string *value) {
  const char *text = getenv(name.c_str());
  if (text == nullptr) return false;
  *value = text;
  return true;
}

void PosixOs::WriteTraceLine(const std::string &line) {
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(nullptr);
}

}  // namespace

uint32_t Win32ErrorFromErrno(int err) {
  for (size_t i = 0; i < kErrnoCodeCount; ++i) {
    if (kErrnoCodes[i].err == err) {
      t_last_errno[FirstEntryOf(kErrnoCodes[i].code)] = err;
      return kErrnoCodes[i].code;
    }
  }
  return kCustomerCodeBit | static_cast<uint32_t>(err);
}

OsLayer &PlatformOs() {
  static PosixOs os;
  return os;
}

}  // namespace kor
