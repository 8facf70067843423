// Disk files of the POSIX OS layer (disk_file.h): the rules of opening a
// name as a file of backup data, each in a function of its own, and the
// transfers, flushes and cache hints of an open one.
#include "os/posix/disk_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "os/file_mode.h"
#include "os/posix/retry.h"
#include "os/posix_os.h"
#include "os/win32_codes.h"

// Volume files pass 2 and 4 GiB.  With a 32-bit off_t (a 32-bit build
// without _FILE_OFFSET_BITS=64, which CMakeLists.txt sets) open() and
// fstat() refuse such a file with EOVERFLOW, after a backup wrote it.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace kor {
namespace {

// --- Opening -----------------------------------------------------------------

// The open() flags for CreateFile's `access`: reading, writing or both,
// never inherited by a child.  O_NONBLOCK: a FIFO at the name must be
// refused, not waited on for a peer that may never come; AdoptOpenedFile
// clears it once the file is known to be a regular one.  A file written
// holds backup data, so it is never reached through a link someone planted
// at its name (the link's target would be overwritten); reading may follow
// links.  False for an access of neither kind.
bool OpenFlagsFor(uint32_t access, int *flags) {
  const bool reads = (access & kGenericRead) != 0;
  const bool writes = (access & kGenericWrite) != 0;
  *flags = O_CLOEXEC | O_NONBLOCK;
  if (reads && writes) {
    *flags |= O_RDWR;
  } else if (writes) {
    *flags |= O_WRONLY;
  } else if (reads) {
    *flags |= O_RDONLY;
  } else {
    return false;
  }
  if (writes) *flags |= O_NOFOLLOW;
  return true;
}

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

// What became of the file found at a name that is to hold a new one.
enum class OldFile { kUnlinked, kEmptied, kFailed };

// Takes the regular file `old`, locked by us and still at `name`, off the
// name, so that another hard link to it (a snapshot made with `cp -al`,
// say) keeps the old bytes.  Only where the directory refuses the unlink
// and the file has no other link is it emptied in place instead, as nobody
// else can see the difference; `old` is then the new file.  On kFailed,
// `old` is closed and *error set.
OldFile ClearOldFile(const std::string &name, int old, uint32_t *error) {
  if (RetryOnInterrupt([&] { return ::unlink(name.c_str()); }) == 0)
    return OldFile::kUnlinked;
  const int err = errno;
  struct stat st;
  if ((err != EACCES && err != EPERM) || fstat(old, &st) != 0 ||
      st.st_nlink != 1) {
    AbandonOpen(old, err, error);
    return OldFile::kFailed;
  }
  // An empty file is left alone: truncating it would change nothing but
  // ext4's view of it as a file being replaced, which makes its close
  // start writing the whole volume out (auto_da_alloc).
  if (st.st_size > 0 &&
      RetryOnInterrupt([&] { return ftruncate(old, 0); }) != 0) {
    AbandonOpen(old, errno, error);
    return OldFile::kFailed;
  }
  return OldFile::kEmptied;
}

// The open for kCreateAlways: a new, empty file at `name`.  A file already
// there is cleared off the name (ClearOldFile) once it is known to be a
// regular file whose lock is ours.  The new file is made with O_EXCL, so
// nothing planted at the name in between (a link) is ever opened.  The
// descriptor, or -1 with *error set.
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
      const OldFile cleared = ClearOldFile(name, old, error);
      if (cleared == OldFile::kFailed) return -1;
      if (cleared == OldFile::kEmptied) return old;
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

}  // namespace

int OpenDiskFile(const std::string &name, uint32_t access, uint32_t share,
                 uint32_t creation, uint32_t *error) {
  int flags;
  if (!OpenFlagsFor(access, &flags)) {
    *error = kErrorInvalidParameter;
    return -1;
  }
  // A file written is created with the backup file mode, and an existing
  // one given it.
  const bool writes = (access & kGenericWrite) != 0;
  uint32_t mode = kDefaultBackupFileMode;
  if (writes && !BackupFileMode(&mode)) {
    *error = kErrorBadEnvironment;
    return -1;
  }
  int fd;
  if (creation == kCreateAlways) {
    fd = ReplaceFile(name, flags, writes, share, mode, error);
  } else if (creation == kOpenExisting) {
    fd = OpenExistingFile(name, flags, writes, share, error);
  } else {
    *error = kErrorInvalidParameter;
    return -1;
  }
  if (fd < 0) return -1;
  if (writes) {
    const int err = ApplyBackupFileMode(fd, mode);
    if (err != 0) return AbandonOpen(fd, err, error);
  }
  return fd;
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

// --- An open disk file -------------------------------------------------------

namespace {

// Only regular files promise that a short transfer was not the whole
// answer; pipes and devices give what they have.
bool IsRegularFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

DiskFile::DiskFile(OsHandle handle)
    : fd_(handle < 0 || handle > INT_MAX ? -1 : static_cast<int>(handle)) {}

bool DiskFile::HasDescriptor(uint32_t *error) const {
  if (fd_ >= 0) return true;
  *error = kErrorInvalidHandle;
  return false;
}

bool DiskFile::Read(void *buffer, uint32_t length, uint32_t *done,
                    uint32_t *error) {
  if (!HasDescriptor(error)) return false;
  char *bytes = static_cast<char *>(buffer);
  uint32_t total = 0;
  for (;;) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return ::read(fd_, bytes + total, length - total); });
    if (n < 0) {
      // The bytes already taken cannot be given back; the read fails as a
      // whole, as ReadFile does, and says why.
      *error = Win32ErrorFromErrno(errno);
      return false;
    }
    total += static_cast<uint32_t>(n);
    if (n == 0 || total == length) break;
    if (!IsRegularFile(fd_)) break;
  }
  *done = total;
  return true;
}

bool DiskFile::WriteGather(const ByteSlice *slices, int count, uint32_t *done,
                           uint32_t *error) {
  if (!HasDescriptor(error)) return false;
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
        [&] { return ::writev(fd_, iov + first, used - first); });
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
    if (!IsRegularFile(fd_)) break;
  }
  *done = static_cast<uint32_t>(total);
  return true;
}

bool DiskFile::Flush(uint32_t *error) {
  if (!HasDescriptor(error)) return false;
  if (RetryOnInterrupt([&] { return fdatasync(fd_); }) != 0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool DiskFile::CheckNamed(uint32_t *error) {
  if (!HasDescriptor(error)) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  if (st.st_nlink == 0) {
    *error = kErrorFileInvalid;
    return false;
  }
  return true;
}

void DiskFile::StartWriteback(uint64_t offset, uint64_t length) {
#if defined(__linux__)
  if (fd_ < 0) return;
  // Only starts the writing; the range's pages stay in the cache.
  sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                  SYNC_FILE_RANGE_WRITE);
#else
  (void)offset;
  (void)length;
#endif
}

void DiskFile::DropFromCache(uint64_t offset, uint64_t length) {
  if (fd_ < 0) return;
#if defined(__linux__)
  // DONTNEED skips pages that are dirty or being written, so the range is
  // written out and waited for first.  Where StartWriteback began the
  // writing a while ago this waits for little; pages only read are clean
  // and cost nothing here.
  RetryOnInterrupt([&] {
    return sync_file_range(fd_, static_cast<off_t>(offset),
                           static_cast<off_t>(length),
                           SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                               SYNC_FILE_RANGE_WAIT_AFTER);
  });
#endif
#if defined(POSIX_FADV_DONTNEED)
  posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                POSIX_FADV_DONTNEED);
#else
  (void)offset;
  (void)length;
#endif
}

void DiskFile::ExpectSequentialReads() {
  if (fd_ < 0) return;
#if defined(POSIX_FADV_SEQUENTIAL)
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

bool DiskFile::Size(uint64_t *size, uint32_t *error) {
  if (!HasDescriptor(error)) return false;
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool DiskFile::Close(bool /*keep*/, uint32_t *error) {
  if (!HasDescriptor(error)) return false;
  if (::close(fd_) == 0) return true;
  const int err = errno;
  // Linux releases the descriptor even when close() is interrupted.  Were
  // that reported as 995, the caller would close the number again, and by
  // then another thread may have been given it for another file.
  if (err == EINTR || err == EINPROGRESS) return true;
  *error = Win32ErrorFromErrno(err);
  return false;
}

}  // namespace kor
