// The set lock: one record lock per stripe prefix.
#include "cli/setlife/set_lock.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/format/sha256.h"
#include "cli/format/volume_locator.h"
#include "cli/options/device_list.h"

namespace kor {
namespace cli {
namespace {

bool IsObjectPrefix(const std::string &devname) {
  return strncasecmp(devname.c_str(), "s3://", 5) == 0;
}

std::string HostName() {
  char host[256] = {0};
  if (gethostname(host, sizeof host - 1) != 0) return "?";
  return host;
}

// One field ("pid", "host", "command") of what a lock holder wrote.
std::string HolderField(const std::string &text, const std::string &name) {
  const std::string key = name + "=";
  size_t at = 0;
  while ((at = text.find(key, at)) != std::string::npos) {
    if (at == 0 || text[at - 1] == ' ') {
      const size_t start = at + key.size();
      const size_t end = text.find_first_of(" \n", start);
      return text.substr(start, end == std::string::npos ? end : end - start);
    }
    at += key.size();
  }
  return "";
}

// Who holds the lock on `fd` that kept us out: the run the lock file
// names when it is the process the kernel reports, else what the kernel
// tells (a shared holder writes nothing).
std::string DescribeHolder(int fd, bool wanted_exclusive) {
  struct flock probe;
  std::memset(&probe, 0, sizeof probe);
  probe.l_type = wanted_exclusive ? F_WRLCK : F_RDLCK;
  probe.l_whence = SEEK_SET;
  long pid = 0;
  bool holder_writes = true;
  if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
    pid = static_cast<long>(probe.l_pid);
    holder_writes = probe.l_type == F_WRLCK;
  }
  char text[512] = {0};
  const ssize_t got = pread(fd, text, sizeof text - 1, 0);
  const std::string written = got > 0 ? std::string(text, got) : "";
  const std::string written_pid = HolderField(written, "pid");
  if (holder_writes && !written_pid.empty() &&
      (pid <= 0 || written_pid == std::to_string(pid))) {
    return "korbr " + HolderField(written, "command") + " (pid " +
           written_pid + " on " + HolderField(written, "host") + ")";
  }
  if (pid > 0) {
    return std::string(holder_writes ? "a backup" : "a restore or verify") +
           " (pid " + std::to_string(pid) + " on " + HostName() + ")";
  }
  return "another run";
}

// The directory that holds this host's locks of object storage prefixes.
std::string HostLockDirectory() {
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return runtime;
  return "/tmp";
}

}  // namespace

std::string SetLock::LockPathOf(const std::string &devname) {
  if (devname.empty() || IsTapeDevname(devname)) return "";
  if (IsObjectPrefix(devname)) {
    Sha256 hash;
    hash.Update(devname.data(), devname.size());
    return HostLockDirectory() + "/korbr-set-" +
           DigestHex(hash.Finish()).substr(0, 32) + ".lock";
  }
  // Hidden, so that what lists or globs PREFIX.* sees volumes only.
  const std::string prefix = AbsoluteDevname(devname);
  const size_t slash = prefix.rfind('/');
  return prefix.substr(0, slash + 1) + "." + prefix.substr(slash + 1) +
         ".lock";
}

namespace {

// Locks the file at `path` (the lock of `prefix`).  1 with *fd holding
// the lock, 0 when there is nothing to lock, -1 with *error set.
//
// The lock file goes when its last holder ends (Release), so a file
// opened just before that is no longer the set's lock by the time its
// lock is granted: the lock counts only on the file the path still names,
// and a few retries find the new one.
int LockOne(const std::string &path, const std::string &prefix,
            bool exclusive, int *fd, std::string *error) {
  const int flags = (exclusive ? O_RDWR : O_RDONLY) | O_CREAT | O_NOFOLLOW |
                    O_CLOEXEC | O_NONBLOCK;
  for (int attempt = 0; attempt < 8; ++attempt) {
    *fd = open(path.c_str(), flags, 0600);
    if (*fd < 0) {
      // A directory that does not exist holds no set to guard: the
      // library names it when it gets there.  Reading a set from media we
      // may not write needs no lock: no backup of ours can be writing it.
      if (errno == ENOENT || errno == ENOTDIR) return 0;
      if (!exclusive && (errno == EACCES || errno == EROFS)) return 0;
      *error = "cannot lock the backup set on " + prefix + ": " + path + ": " +
               std::strerror(errno);
      return -1;
    }
    struct stat held;
    if (fstat(*fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      close(*fd);
      *error = "cannot lock the backup set on " + prefix + ": " + path +
               " is not a regular file";
      return -1;
    }
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(*fd, F_SETLK, &lock) != 0) {
      const int why = errno;
      if (why == EACCES || why == EAGAIN) {
        *error = "the backup set on " + prefix + " is in use by " +
                 DescribeHolder(*fd, exclusive) +
                 ": try again once it has finished";
      } else {
        *error = "cannot lock the backup set on " + prefix + ": " + path +
                 ": " + std::strerror(why);
      }
      close(*fd);
      return -1;
    }
    struct stat named;
    if (lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      return 1;
    }
    close(*fd);
  }
  *error = "cannot lock the backup set on " + prefix + ": " + path +
           " keeps being replaced";
  return -1;
}

}  // namespace

bool SetLock::Acquire(const std::vector<std::string> &devices,
                      const std::string &command, bool exclusive,
                      std::string *error) {
  Release();
  std::vector<std::pair<std::string, std::string>> locks;  // path, prefix
  for (const std::string &device : devices) {
    const std::string devname = DevnameOf(device);
    const std::string path = LockPathOf(devname);
    if (!path.empty()) locks.emplace_back(path, devname);
  }
  std::sort(locks.begin(), locks.end());
  locks.erase(std::unique(locks.begin(), locks.end()), locks.end());
  for (const auto &[path, prefix] : locks) {
    int fd = -1;
    const int locked = LockOne(path, prefix, exclusive, &fd, error);
    if (locked < 0) {
      Release();
      return false;
    }
    if (locked == 0) continue;
    held_.push_back({fd, path});
    if (exclusive) {
      // Without this note (a full disk) the lock holds all the same; a
      // refusal then names the pid the kernel reports.
      const std::string holder = "pid=" + std::to_string(getpid()) +
                                 " host=" + HostName() + " command=" + command +
                                 "\n";
      if (ftruncate(fd, 0) == 0) {
        (void)!pwrite(fd, holder.data(), holder.size(), 0);
      }
    }
  }
  return true;
}

void SetLock::Release() {
  for (const Held &held : held_) {
    // The last holder removes the file, while it still holds it: a shared
    // holder only when it can take the lock exclusively, that is, when no
    // other run holds it.
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(held.fd, F_SETLK, &lock) == 0) unlink(held.path.c_str());
    close(held.fd);
  }
  held_.clear();
}

SetLock::~SetLock() { Release(); }

}  // namespace cli
}  // namespace kor
