// The OS layer on Linux and other POSIX systems.
//
// Divisions: errno translation and system texts; the tape handle table;
// the PosixOs class (files, free space, current directory, tapes, time,
// environment, output); PlatformOs().
//
// Files keep Win32 meaning: a read or write on a regular file moves the
// whole count unless it meets the end of the file or an error, and
// CreateFile's "share none" is emulated with flock(), since POSIX has no
// mandatory sharing modes.
//
// Tape drive names ("\\.\NAME") are resolved by os/tape/tape_resolver.h to
// a Linux st device or a virtual drive.  A file handle is its descriptor;
// a tape handle is the descriptor its backend holds open, entered in the
// tape table, so ReadFile, WriteFile, CloseHandle and the tape calls find
// the backend by the handle while plain files go straight to the system.
// Object-storage names ("s3://") work the same way through the object
// table and os/objstore/object_files.h.
#include "os/posix_os.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "os/file_mode.h"
#include "os/objstore/object_files.h"
#include "os/os_layer.h"
#include "os/path_rules.h"
#include "os/tape/tape_backend.h"
#include "os/tape/tape_resolver.h"
#include "os/win32_codes.h"

// Volume files pass 2 and 4 GiB.  With a 32-bit off_t (a 32-bit build
// without _FILE_OFFSET_BITS=64, which CMakeLists.txt sets) open() and
// fstat() refuse such a file with EOVERFLOW, after a backup wrote it.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

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
    // A size, offset or count that the caller's types cannot hold: what
    // ERROR_ARITHMETIC_OVERFLOW says ("exceeded 32 bits").  Not 223, which
    // is a file that may not grow (EFBIG); EOVERFLOW also comes from free
    // space counts and inode numbers.
    {EOVERFLOW, kErrorArithmeticOverflow},
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

// ERROR_INVALID_FUNCTION: a tape request on a handle that is no drive.
constexpr uint32_t kErrorInvalidFunction = 1;
// ERROR_MORE_DATA: a tape record longer than the reader's buffer.
constexpr uint32_t kErrorMoreData = 234;
// ERROR_UNEXP_NET_ERR and ERROR_CANCELLED, given by object stores.
constexpr uint32_t kErrorUnexpectedNetwork = 59;
constexpr uint32_t kErrorCancelled = 1223;

// Texts for the codes that no errno stands for: tape conditions, and the
// refusals of a volume open.
struct CodeText {
  uint32_t code;
  const char *text;
};
constexpr CodeText kTapeCodeTexts[] = {
    {kErrorEndOfMedia, "End of the tape media reached"},
    {kErrorFilemarkDetected, "A file mark was reached on the tape"},
    {kErrorNoDataDetected, "No more data is recorded on the tape"},
    {kErrorNoMediaInDrive, "No cartridge in the tape drive"},
    {kErrorMoreData, "The tape record is longer than the buffer"},
    {kErrorInvalidFunction, "Not a tape drive"},
    // No errno means "end of file"; a read past a volume's data says so
    // in words rather than as a Windows number.
    {kErrorHandleEof, "End of file"},
    {kErrorStoppedOnSymlink,
     "The name is a symbolic link, which a backup never writes through"},
    {kErrorBadFileType,
     "Not a regular file (a pipe, socket or device cannot be a disk volume)"},
    {kErrorBadEnvironment, kFileModeRule},
    {kErrorFileInvalid,
     "The file was removed while it was being written: it has no name left"},
    {kErrorInvalidName,
     "Not a tape drive name: one name in the device directory, without '/', "
     "'\\' or \"..\""},
    {kErrorNotSupported, "This build cannot drive the device"},
    {kErrorUnexpectedNetwork, "An unexpected network error occurred"},
    {kErrorCancelled, "The operation was cancelled"},
};

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

// --- The tape and object handle tables --------------------------------------

// Open tape drives (or objects) by handle.  A backend stays in the table
// from OpenFile to CloseHandle; the pointer Find gives is used without the
// lock, which is safe because calls on one handle never overlap and only
// CloseHandle removes it.
template <typename Backend>
class HandleTable {
 public:
  OsHandle Add(std::unique_ptr<Backend> drive) {
    const int fd = drive->descriptor();
    std::lock_guard<std::mutex> lock(mu_);
    drives_[fd] = std::move(drive);
    count_.store(drives_.size(), std::memory_order_release);
    return fd;
  }

  Backend *Find(OsHandle handle) {
    // No lock while no tape is open: file I/O pays nothing for tapes.
    if (count_.load(std::memory_order_acquire) == 0) return nullptr;
    if (handle < 0 || handle > INT_MAX) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = drives_.find(static_cast<int>(handle));
    return it == drives_.end() ? nullptr : it->second.get();
  }

  // Takes the backend out before its descriptor is closed, so the number
  // can be reused by a plain file without being taken for a tape.
  std::unique_ptr<Backend> Remove(OsHandle handle) {
    if (handle < 0 || handle > INT_MAX) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = drives_.find(static_cast<int>(handle));
    if (it == drives_.end()) return nullptr;
    std::unique_ptr<Backend> drive = std::move(it->second);
    drives_.erase(it);
    count_.store(drives_.size(), std::memory_order_release);
    return drive;
  }

 private:
  std::mutex mu_;
  std::map<int, std::unique_ptr<Backend>> drives_;
  std::atomic<size_t> count_{0};
};

HandleTable<TapeBackend> &Tapes() {
  static HandleTable<TapeBackend> table;
  return table;
}

HandleTable<ObjectFile> &Objects() {
  static HandleTable<ObjectFile> table;
  return table;
}

// The code of a tape request on `handle`, which is not a drive: a file
// (1, as Windows answers) or nothing open (6).
uint32_t NotATape(OsHandle handle) {
  int fd;
  if (ToDescriptor(handle, &fd) && fcntl(fd, F_GETFD) != -1)
    return kErrorInvalidFunction;
  return kErrorInvalidHandle;
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

// The most slices one gathered write takes (the library gives two).
constexpr int kMaxGatherSlices = 8;

// Closes a descriptor that OpenFile will not hand out, and gives the
// code of the errno that made it give up (taken before close can touch it).
// Returns -1, the descriptor of nothing.
int AbandonOpen(int fd, int err, uint32_t *error) {
  *error = Win32ErrorFromErrno(err);
  ::close(fd);
  return -1;
}

// The code of a failed open() of `name` with `flags`.
uint32_t OpenFailureCode(const std::string &name, int flags, int err) {
  struct stat link;
  if (err == ELOOP && (flags & O_NOFOLLOW) != 0 &&
      lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
    return kErrorStoppedOnSymlink;
  // A FIFO nobody reads, a socket, or a device node without a device.
  if (err == ENXIO) return kErrorBadFileType;
  return Win32ErrorFromErrno(err);
}

// Turns a descriptor open() just gave into one OpenFile may hand out: a
// regular file, in blocking mode, locked for `share` (exclusively for a
// writer).  The descriptor, or -1 with *error set and it closed.
int AdoptOpenedFile(int fd, bool writes, uint32_t share, uint32_t *error) {
  struct stat st;
  if (fstat(fd, &st) != 0) return AbandonOpen(fd, errno, error);
  // Windows refuses to open a directory as a file; a read-only open()
  // of one succeeds on POSIX, so refuse it here.
  if (S_ISDIR(st.st_mode)) return AbandonOpen(fd, EISDIR, error);
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = kErrorBadFileType;
    return -1;
  }
  const int status = fcntl(fd, F_GETFL);
  if (status == -1 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0)
    return AbandonOpen(fd, errno, error);
  if (share != kShareReadWrite) {
    const int operation = (writes ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (RetryOnInterrupt([&] { return flock(fd, operation); }) != 0)
      return AbandonOpen(fd, errno, error);
  }
  return fd;
}

// Opens the file that exists at `name` (no O_CREAT in `flags`) as
// AdoptOpenedFile leaves it.  -1 with *error set.
int OpenExistingFile(const std::string &name, int flags, bool writes,
                     uint32_t share, uint32_t *error) {
  const int fd = RetryOnInterrupt([&] { return ::open(name.c_str(), flags); });
  if (fd < 0) {
    *error = OpenFailureCode(name, flags, errno);
    return -1;
  }
  return AdoptOpenedFile(fd, writes, share, error);
}

// True when `name` still leads to the file open as `fd` (opened with
// `flags`): nobody removed or replaced it between the open and the lock.
bool NameLeadsTo(const std::string &name, int flags, int fd) {
  struct stat open_file, named;
  const int found = (flags & O_NOFOLLOW) != 0 ? lstat(name.c_str(), &named)
                                              : stat(name.c_str(), &named);
  return found == 0 && fstat(fd, &open_file) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// How often a replacement starts over because another opener changed the
// name under it; beyond that the name is taken to be in use.
constexpr int kMaxReplaceRounds = 8;

// The open for kCreateAlways: a new, empty file at `name`.  A file already
// there is never truncated but unlinked, once it is known to be a regular
// file whose lock is ours: another hard link to it (a snapshot made with
// `cp -al`, say) keeps the old bytes.  The new file is made with O_EXCL, so
// nothing planted at the name in between (a link) is ever opened.  Only
// where the directory refuses the unlink and the file has no other link is
// it truncated in place instead, as nobody else can see the difference.
// The descriptor, or -1 with *error set.
int ReplaceFile(const std::string &name, int flags, bool writes, uint32_t share,
                uint32_t mode, uint32_t *error) {
  for (int round = 0; round < kMaxReplaceRounds; ++round) {
    const int old = OpenExistingFile(name, flags, writes, share, error);
    if (old < 0 && *error != kErrorFileNotFound) return -1;
    if (old >= 0) {
      // Locked by us, but perhaps only after another writer replaced it.
      if (!NameLeadsTo(name, flags, old)) {
        ::close(old);
        continue;
      }
      if (RetryOnInterrupt([&] { return ::unlink(name.c_str()); }) != 0) {
        const int err = errno;
        struct stat st;
        if ((err != EACCES && err != EPERM) || fstat(old, &st) != 0 ||
            st.st_nlink != 1)
          return AbandonOpen(old, err, error);
        // An empty file is left alone: truncating it would change nothing
        // but ext4's view of it as a file being replaced, which makes its
        // close start writing the whole volume out (auto_da_alloc).
        if (st.st_size > 0 &&
            RetryOnInterrupt([&] { return ftruncate(old, 0); }) != 0)
          return AbandonOpen(old, errno, error);
        return old;
      }
    }
    const int fd = RetryOnInterrupt([&] {
      return ::open(name.c_str(), flags | O_CREAT | O_EXCL,
                    static_cast<mode_t>(mode));
    });
    const int err = errno;
    if (old >= 0) ::close(old);
    if (fd < 0) {
      // Another opener was quicker to create the name: start over, to
      // meet its file (and its lock) as any other opener would.
      if (err == EEXIST) continue;
      *error = OpenFailureCode(name, flags, err);
      return -1;
    }
    if (AdoptOpenedFile(fd, writes, share, error) < 0) return -1;
    if (NameLeadsTo(name, flags, fd)) return fd;
    ::close(fd);
  }
  *error = kErrorSharingViolation;
  return -1;
}

OsHandle PosixOs::OpenFile(const std::string &name, uint32_t access,
                           uint32_t share, uint32_t creation,
                           uint32_t *error) {
  *error = 0;
  if (IsTapeDevicePath(name)) {
    std::unique_ptr<TapeBackend> drive =
        OpenTapeDevice(name, access, share, error);
    if (!drive) return kInvalidOsHandle;
    return Tapes().Add(std::move(drive));
  }
  if (IsObjectStoreName(name)) {
    std::unique_ptr<ObjectFile> object =
        OpenObjectFile(name, access, creation, error);
    if (!object) return kInvalidOsHandle;
    return Objects().Add(std::move(object));
  }
  const bool reads = (access & kGenericRead) != 0;
  const bool writes = (access & kGenericWrite) != 0;
  // O_NONBLOCK: a FIFO at the name must be refused, not waited on for a
  // peer that may never come.  It is cleared once the file is known to be
  // a regular one.
  int flags = O_CLOEXEC | O_NONBLOCK;
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
  // A file written holds backup data: never through a link someone planted
  // at its name (the link's target would be overwritten), and created with
  // the backup file mode.  Reading may follow links.
  uint32_t mode = kDefaultBackupFileMode;
  if (writes) {
    flags |= O_NOFOLLOW;
    if (!BackupFileMode(&mode)) {
      *error = kErrorBadEnvironment;
      return kInvalidOsHandle;
    }
  }
  int fd;
  if (creation == kCreateAlways) {
    fd = ReplaceFile(name, flags, writes, share, mode, error);
  } else if (creation == kOpenExisting) {
    fd = OpenExistingFile(name, flags, writes, share, error);
  } else {
    *error = kErrorInvalidParameter;
    return kInvalidOsHandle;
  }
  if (fd < 0) return kInvalidOsHandle;
  if (writes) {
    const int err = ApplyBackupFileMode(fd, mode);
    if (err != 0) return AbandonOpen(fd, err, error);
  }
  return fd;
}

bool PosixOs::ReadFile(OsHandle handle, void *buffer, uint32_t length,
                       uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  if (TapeBackend *drive = Tapes().Find(handle))
    return drive->Read(buffer, length, done, error);
  if (ObjectFile *object = Objects().Find(handle))
    return object->Read(buffer, length, done, error);
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
  if (TapeBackend *drive = Tapes().Find(handle))
    return drive->Write(buffer, length, done, error);
  // A disk file or an object takes the buffer as a gathered write of one
  // slice, with the same short-write rules.
  const ByteSlice slice = {buffer, length};
  return WriteGather(handle, &slice, 1, done, error);
}

bool PosixOs::WriteGather(OsHandle handle, const ByteSlice *slices, int count,
                          uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  // Tape records are written one by one (WriteFile), never gathered.
  if (Tapes().Find(handle) != nullptr || count < 0 ||
      count > kMaxGatherSlices) {
    *error = kErrorInvalidParameter;
    return false;
  }
  if (ObjectFile *object = Objects().Find(handle))
    return object->WriteGather(slices, count, done, error);
  int fd;
  if (!ToDescriptor(handle, &fd)) {
    *error = kErrorInvalidHandle;
    return false;
  }
  struct iovec iov[kMaxGatherSlices];
  int used = 0;
  uint64_t length = 0;
  for (int i = 0; i < count; ++i) {
    if (slices[i].length == 0) continue;
    iov[used].iov_base = const_cast<void *>(slices[i].data);
    iov[used].iov_len = slices[i].length;
    length += slices[i].length;
    ++used;
  }
  if (length > UINT32_MAX) {
    *error = kErrorInvalidParameter;
    return false;
  }
  uint64_t total = 0;
  int first = 0;
  while (first < used) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return ::writev(fd, iov + first, used - first); });
    if (n < 0) {
      // Bytes already written are on the volume: report them as a short
      // write so that none is ever written twice; the error (a full disk,
      // typically) comes back on the caller's next write.
      if (total > 0) break;
      *error = Win32ErrorFromErrno(errno);
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    // Step over the slices written whole and into the one cut short.
    size_t left = static_cast<size_t>(n);
    while (first < used && left >= iov[first].iov_len) {
      left -= iov[first].iov_len;
      ++first;
    }
    if (first == used) break;
    iov[first].iov_base = static_cast<char *>(iov[first].iov_base) + left;
    iov[first].iov_len -= left;
    // Only a file is written on after a short write.
    if (!IsRegularFile(fd)) break;
  }
  *done = static_cast<uint32_t>(total);
  return true;
}

bool PosixOs::FlushFile(OsHandle handle, uint32_t *error) {
  *error = 0;
  // A tape drive writes its records as they come; a virtual drive flushes
  // its image when the cartridge is unloaded.
  if (Tapes().Find(handle) != nullptr) return true;
  // An object is stored by the completion of its upload at close, and
  // not before, whatever is flushed.
  if (Objects().Find(handle) != nullptr) return true;
  int fd;
  if (!ToDescriptor(handle, &fd)) {
    *error = kErrorInvalidHandle;
    return false;
  }
  if (RetryOnInterrupt([&] { return fdatasync(fd); }) != 0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool PosixOs::CheckFileNamed(OsHandle handle, uint32_t *error) {
  *error = 0;
  if (Tapes().Find(handle) != nullptr || Objects().Find(handle) != nullptr)
    return true;
  int fd;
  if (!ToDescriptor(handle, &fd)) {
    *error = kErrorInvalidHandle;
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  if (st.st_nlink == 0) {
    *error = kErrorFileInvalid;
    return false;
  }
  return true;
}

void PosixOs::StartWriteback(OsHandle handle, uint64_t offset,
                             uint64_t length) {
#if defined(__linux__)
  if (Tapes().Find(handle) != nullptr || Objects().Find(handle) != nullptr)
    return;
  int fd;
  if (!ToDescriptor(handle, &fd)) return;
  // Only starts the writing; the range's pages stay in the cache.
  sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                  SYNC_FILE_RANGE_WRITE);
#else
  (void)handle;
  (void)offset;
  (void)length;
#endif
}

// The descriptor of a plain file behind `handle`, for the cache hints:
// tapes and objects have no pages of ours in the cache.
bool PlainFileDescriptor(OsHandle handle, int *fd) {
  if (Tapes().Find(handle) != nullptr || Objects().Find(handle) != nullptr)
    return false;
  return ToDescriptor(handle, fd);
}

void PosixOs::DropFromCache(OsHandle handle, uint64_t offset,
                            uint64_t length) {
  int fd;
  if (!PlainFileDescriptor(handle, &fd)) return;
#if defined(__linux__)
  // DONTNEED skips pages that are dirty or being written, so the range is
  // written out and waited for first.  Where StartWriteback began the
  // writing a while ago this waits for little; pages only read are clean
  // and cost nothing here.
  RetryOnInterrupt([&] {
    return sync_file_range(fd, static_cast<off_t>(offset),
                           static_cast<off_t>(length),
                           SYNC_FILE_RANGE_WAIT_BEFORE |
                               SYNC_FILE_RANGE_WRITE |
                               SYNC_FILE_RANGE_WAIT_AFTER);
  });
#endif
#if defined(POSIX_FADV_DONTNEED)
  posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                POSIX_FADV_DONTNEED);
#else
  (void)offset;
  (void)length;
#endif
}

void PosixOs::ExpectSequentialReads(OsHandle handle) {
  int fd;
  if (!PlainFileDescriptor(handle, &fd)) return;
#if defined(POSIX_FADV_SEQUENTIAL)
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

bool PosixOs::FlushDirectory(const std::string &file_name, uint32_t *error) {
  *error = 0;
  if (IsObjectStoreName(file_name)) return true;  // a store has no directory
  const size_t slash = file_name.find_last_of('/');
  const std::string directory =
      slash == std::string::npos ? "."
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
  if (std::unique_ptr<TapeBackend> drive = Tapes().Remove(handle))
    return drive->Close(error);
  if (std::unique_ptr<ObjectFile> object = Objects().Remove(handle))
    return object->Close(true, error);
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

bool PosixOs::GetFileSize(OsHandle handle, uint64_t *size,
                          uint32_t *error) {
  *error = 0;
  if (ObjectFile *object = Objects().Find(handle))
    return object->Size(size, error);
  if (Tapes().Find(handle) != nullptr) {
    *error = kErrorInvalidFunction;
    return false;
  }
  int fd;
  struct stat st;
  if (!ToDescriptor(handle, &fd)) {
    *error = kErrorInvalidHandle;
    return false;
  }
  if (fstat(fd, &st) != 0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool PosixOs::AbandonFile(OsHandle handle, uint32_t *error) {
  *error = 0;
  if (std::unique_ptr<ObjectFile> object = Objects().Remove(handle))
    return object->Close(false, error);
  return CloseHandle(handle, error);
}

uint32_t PosixOs::GetFileAttributes(const std::string &name) {
  // An object is never a directory; the URL is no path to look up.
  if (IsObjectStoreName(name)) return kInvalidFileAttributes;
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
  if (IsObjectStoreName(directory)) {
    *free_bytes = UINT64_MAX;
    return true;
  }
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
  std::string object_reason;
  if (ObjectFailureText(code, &object_reason)) return object_reason;
  if ((code & kCustomerCodeBit) != 0) {
    const uint32_t low = code & ~kCustomerCodeBit;
    if (low <= static_cast<uint32_t>(INT_MAX)) {
      return ErrnoText(static_cast<int>(low));
    }
  }
  const size_t entry = FirstEntryOf(code);
  if (entry == kErrnoCodeCount) {
    for (const CodeText &known : kTapeCodeTexts) {
      if (known.code == code) return known.text;
    }
    return "Win32 error " + std::to_string(code);
  }
  const int err = t_last_errno[entry] != 0 ? t_last_errno[entry]
                                           : kErrnoCodes[entry].err;
  return ErrnoText(err);
}

uint32_t PosixOs::GetTapeStatus(OsHandle handle) {
  TapeBackend *drive = Tapes().Find(handle);
  return drive != nullptr ? drive->Status() : NotATape(handle);
}

bool PosixOs::GetTapeMediaParams(OsHandle handle, TapeMediaParams *params,
                                 uint32_t *error) {
  *error = 0;
  TapeBackend *drive = Tapes().Find(handle);
  if (drive == nullptr) {
    *error = NotATape(handle);
    return false;
  }
  return drive->MediaParams(params, error);
}

bool PosixOs::GetTapeDriveParams(OsHandle handle, TapeDriveParams *params,
                                 uint32_t *error) {
  *error = 0;
  TapeBackend *drive = Tapes().Find(handle);
  if (drive == nullptr) {
    *error = NotATape(handle);
    return false;
  }
  return drive->DriveParams(params, error);
}

bool PosixOs::SetTapeBlockSize(OsHandle handle, uint32_t block_size,
                               uint32_t *error) {
  *error = 0;
  TapeBackend *drive = Tapes().Find(handle);
  if (drive == nullptr) {
    *error = NotATape(handle);
    return false;
  }
  return drive->SetBlockSize(block_size, error);
}

uint32_t PosixOs::WriteTapemarks(OsHandle handle, uint32_t count) {
  TapeBackend *drive = Tapes().Find(handle);
  return drive != nullptr ? drive->WriteTapemarks(count) : NotATape(handle);
}

uint32_t PosixOs::UnloadTape(OsHandle handle) {
  TapeBackend *drive = Tapes().Find(handle);
  return drive != nullptr ? drive->Unload() : NotATape(handle);
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
  // This failure, not an earlier one of an object, is the thread's last.
  ForgetObjectFailure();
  for (size_t i = 0; i < kErrnoCodeCount; ++i) {
    if (kErrnoCodes[i].err == err) {
      t_last_errno[FirstEntryOf(kErrnoCodes[i].code)] = err;
      return kErrnoCodes[i].code;
    }
  }
  return kCustomerCodeBit | static_cast<uint32_t>(err);
}

bool BackupFileMode(uint32_t *mode) {
  const char *text = getenv(kFileModeVariable);
  if (text == nullptr) {
    *mode = kDefaultBackupFileMode;
    return true;
  }
  return ParseBackupFileMode(text, mode);
}

int ApplyBackupFileMode(int fd, uint32_t mode) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  const uint32_t have = static_cast<uint32_t>(st.st_mode) & 07777;
  if (have == mode) return 0;
  if (fchmod(fd, static_cast<mode_t>(mode)) == 0) return 0;
  const int err = errno;
  return (have & ~mode) == 0 ? 0 : err;
}

OsLayer &PlatformOs() {
  static PosixOs os;
  return os;
}

}  // namespace kor
