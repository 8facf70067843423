// The OS layer on Linux and other POSIX systems.
//
// Every call on a handle dispatches once to the handle's backend
// (posix/file_backend.h): a disk file (posix/disk_file.h), a tape drive or
// an object, of the kind OpenFile chose by the name (posix/device_kinds.h).
// The calls on names, the clock, the environment and the trace output are
// answered here; errno values become Win32 codes in posix/system_errors.cc.
#include "os/posix_os.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/os_layer.h"
#include "os/posix/device_kinds.h"
#include "os/posix/disk_file.h"
#include "os/posix/file_backend.h"
#include "os/posix/retry.h"
#include "os/posix/system_errors.h"
#include "os/tape/tape_backend.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

// The backend of `handle`: the one entered at its open, else `disk`, made
// of the same handle (a disk file's descriptor, or nothing open).
FileBackend &BackendOf(OsHandle handle, DiskFile *disk) {
  if (FileBackend *backend = FindBackend(handle)) return *backend;
  return *disk;
}

// The drive behind `handle`, or null with *error the code of a tape request
// on what is no drive: a file (1, as Windows answers) or nothing open (6).
TapeBackend *DriveOf(OsHandle handle, uint32_t *error) {
  DiskFile disk(handle);
  if (TapeBackend *drive = BackendOf(handle, &disk).tape()) return drive;
  *error = handle >= 0 && handle <= INT_MAX &&
                   fcntl(static_cast<int>(handle), F_GETFD) != -1
               ? kErrorInvalidFunction
               : kErrorInvalidHandle;
  return nullptr;
}

class PosixOs final : public OsLayer {
 public:
  OsHandle OpenFile(const std::string &name, uint32_t access, uint32_t share,
                    uint32_t creation, uint32_t *error) override;
  bool ReadFile(OsHandle handle, void *buffer, uint32_t length, uint32_t *done,
                uint32_t *error) override;
  bool WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                 uint32_t *done, uint32_t *error) override;
  bool WriteGather(OsHandle handle, const ByteSlice *slices, int count,
                   uint32_t *done, uint32_t *error) override;
  bool FlushFile(OsHandle handle, uint32_t *error) override;
  bool CheckFileNamed(OsHandle handle, uint32_t *error) override;
  bool FlushDirectory(const std::string &file_name, uint32_t *error) override;
  void StartWriteback(OsHandle handle, uint64_t offset,
                      uint64_t length) override;
  void DropFromCache(OsHandle handle, uint64_t offset,
                     uint64_t length) override;
  void ExpectSequentialReads(OsHandle handle) override;
  bool CloseHandle(OsHandle handle, uint32_t *error) override;
  bool AbandonFile(OsHandle handle, uint32_t *error) override;
  uint32_t GetFileAttributes(const std::string &name) override;
  bool GetDiskFreeSpace(const std::string &directory, uint64_t *free_bytes,
                        uint32_t *error) override;
  bool GetCurrentDirectory(std::string *directory) override;
  std::string SystemErrorText(uint32_t code) override;
  PathStyle path_style() const override { return PathStyle::kPosix; }
  bool GetFileSize(OsHandle handle, uint64_t *size, uint32_t *error) override;

  uint32_t GetTapeStatus(OsHandle handle) override;
  bool GetTapeMediaParams(OsHandle handle, TapeMediaParams *params,
                          uint32_t *error) override;
  bool GetTapeDriveParams(OsHandle handle, TapeDriveParams *params,
                          uint32_t *error) override;
  bool SetTapeBlockSize(OsHandle handle, uint32_t block_size,
                        uint32_t *error) override;
  uint32_t WriteTapemarks(OsHandle handle, uint32_t count) override;
  uint32_t UnloadTape(OsHandle handle) override;

  void Sleep(uint32_t milliseconds) override;
  uint32_t TickCount() override;
  bool GetProcessTimes(ProcessTimes *times) override;
  bool GetEnv(const std::string &name, std::string *value) override;
  void WriteTraceLine(const std::string &line) override;
};

OsHandle PosixOs::OpenFile(const std::string &name, uint32_t access,
                           uint32_t share, uint32_t creation, uint32_t *error) {
  *error = 0;
  return DeviceKindOf(name).open(name, access, share, creation, error);
}

bool PosixOs::ReadFile(OsHandle handle, void *buffer, uint32_t length,
                       uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  DiskFile disk(handle);
  return BackendOf(handle, &disk).Read(buffer, length, done, error);
}

bool PosixOs::WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                        uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  DiskFile disk(handle);
  return BackendOf(handle, &disk).Write(buffer, length, done, error);
}

bool PosixOs::WriteGather(OsHandle handle, const ByteSlice *slices, int count,
                          uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  if (count < 0 || count > kMaxGatherSlices) {
    *error = kErrorInvalidParameter;
    return false;
  }
  DiskFile disk(handle);
  return BackendOf(handle, &disk).WriteGather(slices, count, done, error);
}

bool PosixOs::FlushFile(OsHandle handle, uint32_t *error) {
  *error = 0;
  DiskFile disk(handle);
  return BackendOf(handle, &disk).Flush(error);
}

bool PosixOs::CheckFileNamed(OsHandle handle, uint32_t *error) {
  *error = 0;
  DiskFile disk(handle);
  return BackendOf(handle, &disk).CheckNamed(error);
}

void PosixOs::StartWriteback(OsHandle handle, uint64_t offset,
                             uint64_t length) {
  DiskFile disk(handle);
  BackendOf(handle, &disk).StartWriteback(offset, length);
}

void PosixOs::DropFromCache(OsHandle handle, uint64_t offset, uint64_t length) {
  DiskFile disk(handle);
  BackendOf(handle, &disk).DropFromCache(offset, length);
}

void PosixOs::ExpectSequentialReads(OsHandle handle) {
  DiskFile disk(handle);
  BackendOf(handle, &disk).ExpectSequentialReads();
}

bool PosixOs::FlushDirectory(const std::string &file_name, uint32_t *error) {
  *error = 0;
  // A store has no directory.
  if (!DeviceKindOf(file_name).in_file_system) return true;
  const size_t slash = file_name.find_last_of('/');
  const std::string directory =
      slash == std::string::npos
          ? "."
          : (slash == 0 ? "/" : file_name.substr(0, slash));
  const int fd = RetryOnInterrupt([&] {
    return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  const int synced = RetryOnInterrupt([&] { return fsync(fd); });
  const int err = errno;
  ::close(fd);
  if (synced != 0) {
    *error = Win32ErrorFromErrno(err);
    return false;
  }
  return true;
}

bool PosixOs::CloseHandle(OsHandle handle, uint32_t *error) {
  *error = 0;
  if (std::unique_ptr<FileBackend> backend = TakeBackend(handle))
    return backend->Close(true, error);
  return DiskFile(handle).Close(true, error);
}

bool PosixOs::AbandonFile(OsHandle handle, uint32_t *error) {
  *error = 0;
  if (std::unique_ptr<FileBackend> backend = TakeBackend(handle))
    return backend->Close(false, error);
  return DiskFile(handle).Close(false, error);
}

bool PosixOs::GetFileSize(OsHandle handle, uint64_t *size, uint32_t *error) {
  *error = 0;
  DiskFile disk(handle);
  return BackendOf(handle, &disk).Size(size, error);
}

uint32_t PosixOs::GetFileAttributes(const std::string &name) {
  // An object is never a directory; the URL is no path to look up.
  if (!DeviceKindOf(name).in_file_system) return kInvalidFileAttributes;
  struct stat st;
  if (RetryOnInterrupt([&] { return stat(name.c_str(), &st); }) != 0) {
    return kInvalidFileAttributes;
  }
  return S_ISDIR(st.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
}

bool PosixOs::GetDiskFreeSpace(const std::string &directory,
                               uint64_t *free_bytes, uint32_t *error) {
  *error = 0;
  // A store has no free space to run out of: capacity alone ends volumes.
  // A store has no free space to run out of: capacity alone ends volumes.
  if (!DeviceKindOf(directory).in_file_system) {
    *free_bytes = UINT64_MAX;
    return true;
  }
  struct statvfs fs;
  if (RetryOnInterrupt([&] { return statvfs(directory.c_str(), &fs); }) != 0) {
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
  return PosixErrorText(code);
}

uint32_t PosixOs::GetTapeStatus(OsHandle handle) {
  uint32_t error = 0;
  TapeBackend *drive = DriveOf(handle, &error);
  return drive != nullptr ? drive->Status() : error;
}

bool PosixOs::GetTapeMediaParams(OsHandle handle, TapeMediaParams *params,
                                 uint32_t *error) {
  *error = 0;
  TapeBackend *drive = DriveOf(handle, error);
  return drive != nullptr && drive->MediaParams(params, error);
}

bool PosixOs::GetTapeDriveParams(OsHandle handle, TapeDriveParams *params,
                                 uint32_t *error) {
  *error = 0;
  TapeBackend *drive = DriveOf(handle, error);
  return drive != nullptr && drive->DriveParams(params, error);
}

bool PosixOs::SetTapeBlockSize(OsHandle handle, uint32_t block_size,
                               uint32_t *error) {
  *error = 0;
  TapeBackend *drive = DriveOf(handle, error);
  return drive != nullptr && drive->SetBlockSize(block_size, error);
}

uint32_t PosixOs::WriteTapemarks(OsHandle handle, uint32_t count) {
  uint32_t error = 0;
  TapeBackend *drive = DriveOf(handle, &error);
  return drive != nullptr ? drive->WriteTapemarks(count) : error;
}

uint32_t PosixOs::UnloadTape(OsHandle handle) {
  uint32_t error = 0;
  TapeBackend *drive = DriveOf(handle, &error);
  return drive != nullptr ? drive->Unload() : error;
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

OsLayer &PlatformOs() {
  static PosixOs os;
  return os;
}

}  // namespace kor
