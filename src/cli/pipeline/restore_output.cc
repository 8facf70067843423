#include "cli/pipeline/restore_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/session/host_session.h"

namespace kor {
namespace cli {
namespace {

// Whether the restore may skip the flushes to stable storage (KOR_NO_FLUSH,
// for tests and benchmarks, as the library reads it).
bool FlushesSkipped() { return std::getenv("KOR_NO_FLUSH") != nullptr; }

// Whether fsync means anything for what `fd` is: a regular file or a block
// device keeps its bytes on a medium, while a pipe, a socket or a character
// device (/dev/null, a terminal) has nothing to flush and refuses it with
// EINVAL.
bool HoldsBytesOnMedium(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

// The directory whose entry names `path`.
std::string DirectoryOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the entries of the directory holding `path` durable: a name
// created, or replaced by a rename, is only on the medium once its
// directory is.  False with *error set.
bool SyncDirectoryOf(const std::string &path, std::string *error) {
  if (FlushesSkipped()) return true;
  const std::string directory = DirectoryOf(path);
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open the directory " + directory + " to sync it: " +
             std::strerror(errno);
    return false;
  }
  // A file system that cannot sync a directory says EINVAL: its entries
  // are as durable as it makes them, and nothing more can be done.
  const bool ok = fsync(fd) == 0 || errno == EINVAL;
  const int saved = errno;
  close(fd);
  if (!ok) {
    *error = "syncing the directory " + directory + " failed: " +
             std::strerror(saved);
  }
  return ok;
}

}  // namespace

bool Output::Open(std::string *error) {
  if (verify_only) return true;
  if (path == "-") {
    to_stdout = true;
    return true;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      *error = path + " is a directory";
      return false;
    }
    if (!S_ISREG(st.st_mode)) {  // a device or a pipe: write directly
      direct = true;
      fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
      }
      return true;
    }
  }
  std::vector<char> name(path.begin(), path.end());
  const char suffix[] = ".korbr-XXXXXX";
  name.insert(name.end(), suffix, suffix + sizeof suffix);  // with NUL
  fd = mkstemp(name.data());
  if (fd < 0) {
    *error =
        "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  temporary = name.data();
  HostSession::SetPartialOutputPath(temporary);
  if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
    *error = "cannot set the mode of " + temporary + ": " +
             std::strerror(errno);
    Discard();
    return false;
  }
  if (!SyncDirectoryOf(temporary, error)) {
    Discard();
    return false;
  }
  return true;
}

bool Output::Commit(std::string *error) {
  if (to_stdout || verify_only) return true;
  // The restored file is on the medium before its name says it is whole;
  // a crash must not leave a complete-looking name on missing data.
  if (!FlushesSkipped() && HoldsBytesOnMedium(fd) && fsync(fd) != 0) {
    *error = "writing " + path + " failed: " + std::strerror(errno);
    Discard();
    return false;
  }
  if (close(fd) != 0) {
    fd = -1;
    *error = "writing " + path + " failed: " + std::strerror(errno);
    return false;
  }
  fd = -1;
  if (temporary.empty()) return true;
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + temporary + " to " + path + ": " +
             std::strerror(errno);
    return false;
  }
  temporary.clear();
  HostSession::ClearPartialOutputPath();
  renamed = true;
  if (!SyncDirectoryOf(path, error)) {
    *error = path + " holds the verified stream, but a crash may still "
             "lose it: " + *error;
    return false;
  }
  return true;
}

void Output::Discard() {
  if (to_stdout || verify_only) return;
  if (fd >= 0) close(fd);
  fd = -1;
  if (!temporary.empty()) unlink(temporary.c_str());
  HostSession::ClearPartialOutputPath();
}

}  // namespace cli
}  // namespace kor
