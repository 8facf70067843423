// File helpers of the virtual tape drive: how its state, lock and images
// are opened, read and replaced.
#include "os/tape/vtape_files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "os/file_mode.h"
#include "os/posix/retry.h"
#include "os/posix_os.h"

namespace kor {
namespace vtape {

std::string ErrnoWords(int err) { return std::strerror(err); }

int OpenBackupFile(const std::string &path, int flags, const char *doing,
                   std::string *why) {
  uint32_t mode;
  if (!BackupFileMode(&mode)) {
    *why = kFileModeRule;
    return -1;
  }
  const int fd = RetryOnInterrupt([&] {
    return ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC,
                  static_cast<mode_t>(mode));
  });
  int err = fd < 0 ? errno : ApplyBackupFileMode(fd, mode);
  if (err == 0) return fd;
  if (fd >= 0) ::close(fd);
  *why = std::string(doing) + " " + path + ": " +
         (err == ELOOP ? "it is a symbolic link" : ErrnoWords(err));
  return -1;
}

bool ReadSmallFile(const std::string &path, std::string *text) {
  const int fd = RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return false;
  text->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n =
        RetryOnInterrupt([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > (1u << 20)) {  // no state file is this large
      ::close(fd);
      errno = EFBIG;
      return false;
    }
  }
  ::close(fd);
  return true;
}

bool WriteAll(int fd, const void *data, size_t size) {
  const char *bytes = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n =
        RetryOnInterrupt([&] { return ::write(fd, bytes, size); });
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReplaceSmallFile(const std::string &path, const std::string &text,
                      std::string *why) {
  // Whatever is left at the temporary name (a crashed writer's file, or a
  // link or FIFO someone put there) is removed and the file made anew.
  const std::string temp = path + ".tmp";
  ::unlink(temp.c_str());
  const int fd =
      OpenBackupFile(temp, O_WRONLY | O_CREAT | O_EXCL, "cannot write", why);
  if (fd < 0) return false;
  if (!WriteAll(fd, text.data(), text.size()) || ::fsync(fd) != 0) {
    *why = "cannot write " + temp + ": " + ErrnoWords(errno);
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  ::close(fd);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *why = "cannot replace " + path + ": " + ErrnoWords(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

ssize_t ReadAt(int fd, void *buffer, size_t size, uint64_t offset) {
  char *bytes = static_cast<char *>(buffer);
  size_t total = 0;
  while (total < size) {
    const ssize_t n = RetryOnInterrupt([&] {
      return ::pread(fd, bytes + total, size - total,
                     static_cast<off_t>(offset + total));
    });
    if (n < 0) return -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(total);
}

int RemainingParts(const struct iovec *parts, int count, size_t skip,
                   struct iovec *now) {
  int used = 0;
  for (int i = 0; i < count; ++i) {
    if (skip >= parts[i].iov_len) {
      skip -= parts[i].iov_len;
      continue;
    }
    now[used].iov_base = static_cast<char *>(parts[i].iov_base) + skip;
    now[used].iov_len = parts[i].iov_len - skip;
    skip = 0;
    ++used;
  }
  return used;
}

}  // namespace vtape
}  // namespace kor
