// Trace routing: the library's trace log and the data stream's descriptors.
#include "cli/session/trace_routing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kor {
namespace cli {
namespace {

// Opens the trace file for appending the way a backup opens its volumes:
// never through a symbolic link planted at its name, never blocked in open
// by a FIFO or a device with nobody at the other end, a regular file only.
// A new file gets `mode` whatever the umask; an existing log is appended to
// as it is.  The descriptor, or -1 with *error set.
int OpenTraceFile(const std::string &path, mode_t mode, std::string *error) {
  constexpr int kFlags =
      O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, mode);
  if (fd >= 0) {
    fchmod(fd, mode);
  } else if (errno == EEXIST) {
    fd = open(path.c_str(), kFlags);
  }
  const std::string what = "cannot use " + path + " as the trace file: ";
  if (fd < 0) {
    // O_NOFOLLOW says ELOOP for a link, O_NONBLOCK ENXIO for a FIFO that
    // nobody reads.
    *error = what + (errno == ELOOP    ? "it is a symbolic link"
                     : errno == ENXIO ? "it is not a regular file"
                                      : std::strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = what + "it is not a regular file";
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, O_APPEND);  // writes may block again, as on any file
  return fd;
}

}  // namespace

bool RouteTrace(const TraceRequest &request, TraceRoute *route,
                std::string *error) {
  // Like the tools korbr sits beside, it prints nothing on standard output
  // on success unless a trace is asked for.
  const bool user_set_kordbg = std::getenv("KORDBG") != nullptr;
  const bool discard_trace = !request.trace && !user_set_kordbg;
  route->trace_on = !discard_trace;
  if (request.trace_mask >= 0) {
    setenv("KORDBG", std::to_string(request.trace_mask).c_str(), 1);
  } else if (discard_trace) {
    setenv("KORDBG", "0", 1);
  }
  int trace_fd = -1;
  if (!request.trace_file.empty()) {
    trace_fd = OpenTraceFile(request.trace_file,
                             static_cast<mode_t>(request.file_mode), error);
    if (trace_fd < 0) return false;
  } else if (discard_trace) {
    trace_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  if (request.data_to_stdout) {
    route->data_fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (route->data_fd < 0) {
      *error =
          std::string("standard output is not usable: ") + std::strerror(errno);
      if (trace_fd >= 0) close(trace_fd);
      return false;
    }
    if (trace_fd < 0) trace_fd = fcntl(2, F_DUPFD_CLOEXEC, 3);
  }
  if (trace_fd >= 0) {
    std::fflush(stdout);
    if (dup2(trace_fd, 1) < 0) {
      *error =
          std::string("cannot route the trace log: ") + std::strerror(errno);
      close(trace_fd);
      return false;
    }
    close(trace_fd);
  }
  return true;
}

}  // namespace cli
}  // namespace kor
