// The host side shared by the commands that drive the library.
#include "cli/host_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/device_list.h"
#include "cli/message_texts.h"

namespace kor {
namespace cli {
namespace {

// Interrupt state, touched by the signal handler: a lock-free counter, and
// the path of a partial output file published through a flag.
std::atomic<int> g_interrupts{0};
// Set when the host itself gives an operation up (no operator can help).
std::atomic<bool> g_gave_up{false};
char g_partial_path[4096];
volatile sig_atomic_t g_partial_path_set = 0;

HostSession *g_session = nullptr;  // the callbacks' target

extern "C" void OnInterruptSignal(int) {
  if (g_interrupts.fetch_add(1) >= 1) {
    if (g_partial_path_set) unlink(g_partial_path);
    static const char kText[] =
        "\nkorbr: interrupted again: stopping at once; the operation is "
        "incomplete\n";
    ssize_t ignored = write(2, kText, sizeof kText - 1);
    (void)ignored;
    _exit(1);
  }
}

void KOR_CALL FormatStringCallback(int32_t number, char *text, int32_t size,
                                   KorMessageArg *args) {
  if (text == nullptr || size <= 0) return;
  FormatMessageText(number, args, text, static_cast<size_t>(size));
}

void KOR_CALL InfoCallback(int32_t number, KorMessageArg *args, int32_t,
                           void *) {
  if (g_session != nullptr) g_session->OnInfo(number, args);
}

int32_t KOR_CALL CancelledCallback() {
  return HostSession::Interrupted() || g_gave_up.load() ? 1 : 0;
}

const char *ArgText(const KorMessageArg *args, int i) {
  return args == nullptr ? nullptr : reinterpret_cast<const char *>(args[i]);
}

// "\\\\.\\TAPE0" as the library reduces it: "\\.\TAPE0".
std::string ReducedTapeName(const std::string &name) {
  if (name.compare(0, 7, "\\\\\\\\.\\\\") == 0) {
    return "\\\\.\\" + name.substr(7);
  }
  return name;
}

std::string FormatRate(uint64_t bytes, double seconds) {
  char text[96];
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::snprintf(text, sizeof text, "%.1f MiB  %.1f MiB/s", mib,
                seconds > 0 ? mib / seconds : 0.0);
  return text;
}

}  // namespace

HostSession::HostSession() { std::memset(&params_, 0, sizeof params_); }

HostSession::~HostSession() {
  StopProgress();
  if (g_session == this) g_session = nullptr;
}

bool HostSession::Interrupted() { return g_interrupts.load() > 0; }

void HostSession::SetPartialOutputPath(const std::string &path) {
  g_partial_path_set = 0;
  std::snprintf(g_partial_path, sizeof g_partial_path, "%s", path.c_str());
  g_partial_path_set = path.size() < sizeof g_partial_path ? 1 : 0;
}

void HostSession::ClearPartialOutputPath() { g_partial_path_set = 0; }

void HostSession::BlockInterruptsInThisThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool HostSession::Start(const SessionOptions &options, std::string *error) {
  options_ = options;
  g_session = this;
  started_ = std::chrono::steady_clock::now();

  // The trace: KORDBG for --quiet, then where descriptor 1 points.
  const bool user_set_kordbg = std::getenv("KORDBG") != nullptr;
  const bool discard_trace = options.quiet && !user_set_kordbg;
  if (discard_trace) setenv("KORDBG", "0", 1);
  int trace_fd = -1;
  if (!options.trace_file.empty()) {
    // A new trace file gets the backup file mode whatever the umask; an
    // existing one (a log, a terminal, /dev/stderr) is appended to as it is.
    const char *trace = options.trace_file.c_str();
    const mode_t mode = static_cast<mode_t>(options.file_mode);
    trace_fd = open(trace, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC,
                    mode);
    if (trace_fd >= 0) {
      fchmod(trace_fd, mode);
    } else if (errno == EEXIST) {
      trace_fd = open(trace, O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (trace_fd < 0) {
      *error = "cannot open the trace file " + options.trace_file + ": " +
               std::strerror(errno);
      return false;
    }
  } else if (discard_trace) {
    trace_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  if (options.data_to_stdout) {
    data_fd_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (data_fd_ < 0) {
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

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterruptSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read sees EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed pipe shows as EPIPE on write

  ApiInfo api;
  std::memset(&api, 0, sizeof api);
  kor_queryapi(&api);
  if ((api.version >> 16) != 1) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "the loaded libkorbr has interface version %08x; korbr "
                  "needs 0001xxxx",
                  static_cast<unsigned>(api.version));
    *error = text;
    return false;
  }
  kor_register_format_string(FormatStringCallback);
  kor_register_info_callback(InfoCallback);
  kor_register_cancelled(CancelledCallback);
  return true;
}

void HostSession::SetDevices(const std::vector<std::string> &devices,
                             const std::string &dbname) {
  std::lock_guard<std::mutex> lock(console_);
  devices_ = devices;
  devnames_.clear();
  for (const std::string &d : devices_) {
    devnames_.push_back(ReducedTapeName(DevnameOf(d)));
  }
  volumes_.resize(devices_.size(), "-");
  std::memset(params_.dbname, 0, sizeof params_.dbname);
  std::memcpy(params_.dbname, dbname.data(),
              std::min(dbname.size(), sizeof params_.dbname));
  for (size_t s = 0; s < KOR_MAX_STRIPES; ++s) {
    params_.archdev[s] = s < devices_.size() ? devices_[s].c_str() : nullptr;
  }
}

void HostSession::Error(const std::string &line) {
  std::lock_guard<std::mutex> lock(console_);
  ClearProgressLocked();
  std::string text = "korbr: " + options_.command + ": " + line + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void HostSession::Note(const std::string &line) {
  if (options_.quiet) return;
  std::lock_guard<std::mutex> lock(console_);
  ClearProgressLocked();
  std::string text = "korbr: " + line + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void HostSession::ClearProgressLocked() {
  if (progress_shown_) {
    std::fputs("\r\033[K", stderr);
    progress_shown_ = false;
  }
}

int HostSession::StripeOfDevice(const std::string &device) const {
  const std::string reduced = ReducedTapeName(device);
  for (size_t s = 0; s < devnames_.size(); ++s) {
    const std::string &name = devnames_[s];
    if (name.empty()) continue;
    if (reduced == name) return static_cast<int>(s);
    // A relative devname arrives with the current directory in front.
    if (reduced.size() > name.size() &&
        reduced.compare(reduced.size() - name.size(), name.size(), name) == 0) {
      const char before = reduced[reduced.size() - name.size() - 1];
      if (before == '/' || before == '\\') return static_cast<int>(s);
    }
  }
  return -1;
}

void HostSession::OnInfo(int32_t number, const KorMessageArg *args) {
  const std::string text = MessageText(number, args);
  switch (number) {
    case 9234:
      if (isatty(0) && !options_.data_from_stdin) {
        PromptForVolume(text);
      } else if (ArgText(args, 1) != nullptr &&
                 std::strncmp(ArgText(args, 1), "\\\\.", 3) != 0) {
        // On disk the library asks for a volume only when the file it found
        // is out of sequence, and it would reopen the same file at once,
        // forever: with nobody to replace it, give the restore up.
        Note(text + "; nobody can replace a disk volume now: giving up");
        g_gave_up.store(true);
      } else {
        // Nobody to ask: the library polls the drive until it is ready
        // (an autoloader, or someone loading the volume meanwhile).
        Note(text + "; going on when the drive is ready (Ctrl-C gives up)");
      }
      return;
    case 9235:
    case 9236: {
      const char *volume = ArgText(args, 0);
      const char *device = ArgText(args, 1);
      if (volume != nullptr && device != nullptr) {
        std::lock_guard<std::mutex> lock(console_);
        const int stripe = StripeOfDevice(device);
        if (stripe >= 0 && static_cast<size_t>(stripe) < volumes_.size()) {
          volumes_[static_cast<size_t>(stripe)] =
              std::string(volume).substr(0, 8);
        }
      }
      Note(text);
      return;
    }
    case 9237: {
      // Every stripe sends it for the same device-string setting: once.
      {
        std::lock_guard<std::mutex> lock(console_);
        if (!notes_once_.insert(text).second) return;
      }
      Note(text);
      return;
    }
    default:
      Note(text);
      return;
  }
}

void HostSession::PromptForVolume(const std::string &text) {
  // One prompt at a time; notes and the progress line wait meanwhile.
  std::lock_guard<std::mutex> lock(console_);
  ClearProgressLocked();
  std::string prompt =
      "korbr: " + text + ", then press Enter (Ctrl-C gives up): ";
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  for (;;) {
    if (Interrupted()) break;
    struct pollfd p = {0, POLLIN, 0};
    const int ready = poll(&p, 1, 200);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char c = 0;
    const ssize_t n = read(0, &c, 1);
    if (n <= 0 || c == '\n') break;  // Enter, or the end of the input
  }
  std::fputs("\n", stderr);
}

void HostSession::StartProgress(uint32_t stripes) {
  {
    std::lock_guard<std::mutex> lock(console_);
    if (volumes_.size() < stripes) volumes_.resize(stripes, "-");
  }
  if (options_.quiet || !isatty(2) || progress_thread_.joinable()) return;
  progress_stop_ = false;
  started_ = std::chrono::steady_clock::now();
  progress_thread_ = std::thread([this] {
    BlockInterruptsInThisThread();
    ProgressLoop();
  });
}

void HostSession::StopProgress() {
  if (!progress_thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(console_);
    progress_stop_ = true;
    progress_wake_.notify_all();
  }
  progress_thread_.join();
  std::lock_guard<std::mutex> lock(console_);
  ClearProgressLocked();
}

void HostSession::ProgressLoop() {
  std::unique_lock<std::mutex> lock(console_);
  while (!progress_stop_) {
    progress_wake_.wait_for(lock, std::chrono::milliseconds(500));
    if (progress_stop_) break;
    const double seconds = std::chrono::duration<double>(
                               std::chrono::steady_clock::now() - started_)
                               .count();
    std::string line =
        "\rkorbr: " + FormatRate(bytes_done_.load(), seconds) + "  volume";
    for (const std::string &v : volumes_) line += " " + v;
    line += "\033[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    progress_shown_ = true;
  }
}

}  // namespace cli
}  // namespace kor
