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
    const int flags = (exclusive ? O_RDWR : O_RDONLY) | O_CREAT | O_NOFOLLOW |
                      O_CLOEXEC | O_NONBLOCK;
    const int fd = open(path.c_str(), flags, 0600);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      close(fd);
      *error = "cannot lock the backup set on " + prefix + ": " + path +
               " is not a regular file";
      Release();
      return false;
    }
    if (fd < 0) {
      // A directory that does not exist holds no set to guard: the
      // library names it when it gets there.  Reading a set from media we
      // may not write needs no lock: no backup of ours can be writing it.
      if (errno == ENOENT || errno == ENOTDIR) continue;
      if (!exclusive && (errno == EACCES || errno == EROFS)) continue;
      *error = "cannot lock the backup set on " + prefix + ": " + path + ": " +
               std::strerror(errno);
      Release();
      return false;
    }
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) != 0) {
      const int why = errno;
      if (why == EACCES || why == EAGAIN) {
        *error = "the backup set on " + prefix + " is in use by " +
                 DescribeHolder(fd, exclusive) +
                 ": try again once it has finished";
      } else {
        *error = "cannot lock the backup set on " + prefix + ": " + path +
                 ": " + std::strerror(why);
      }
      close(fd);
      Release();
      return false;
    }
    fds_.push_back(fd);
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
  for (const int fd : fds_) close(fd);
  fds_.clear();
}

SetLock::~SetLock() { Release(); }

}  // namespace cli
}  // namespace kor
