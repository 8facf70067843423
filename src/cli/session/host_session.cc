// The host side shared by the commands that drive the library.
#include "cli/session/host_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/options/device_list.h"
#include "cli/format/label_decode.h"
#include "cli/session/message_texts.h"
#include "cli/session/secret_guard.h"
#include "cli/format/volume_locator.h"
#include "cli/session/wait_diagnosis.h"
#include "rules/device_string_rules.h"
#include "rules/message_numbers.h"
#include "rules/tape_name_rules.h"

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

std::string FormatRate(uint64_t bytes, double seconds) {
  char text[96];
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::snprintf(text, sizeof text, "%.1f MiB  %.1f MiB/s", mib,
                seconds > 0 ? mib / seconds : 0.0);
  return text;
}

// The reason of the 6920 the library sends before asking for the right
// volume in place of one out of sequence.
constexpr char kOutOfOrderReason[] = "Tapes out of order";

// What a disk volume file holds instead, from its VOL1 label: " (it holds
// volume V of stripe S)", or "" when that cannot be read.
std::string HeldVolume(const std::string &file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  uint8_t head[kVolumeHeadSize];
  const bool read_whole = pread(fd, head, sizeof head, 0) ==
                          static_cast<ssize_t>(sizeof head);
  close(fd);
  VolumeLabels labels;
  std::string why;
  if (!read_whole || !DecodeVolumeHead(head, sizeof head, &labels, &why)) {
    return "";
  }
  return " (it holds volume " + std::to_string(labels.volume) +
         " of stripe " + std::to_string(labels.stripe) + ")";
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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

HostSession::HostSession() { std::memset(&params_, 0, sizeof params_); }

HostSession::~HostSession() {
  if (watch_thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(console_);
      watch_stop_ = true;
      watch_wake_.notify_all();
    }
    watch_thread_.join();
  }
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

void HostSession::BlockInterruptsInThisThread(const std::string &name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool HostSession::Start(const SessionOptions &options, std::string *error) {
  if (!GuardSecrets(options.devices, IsSetInEnvironment, error)) return false;
  options_ = options;
  g_session = this;
  started_ = std::chrono::steady_clock::now();

  // The trace is off unless KORDBG, --trace or --trace-file asks for it:
  // like the tools korbr sits beside, it prints nothing on standard output
  // on success.  The library writes some trace lines whatever the mask, so
  // an unwanted trace goes to /dev/null as well.
  const bool user_set_kordbg = std::getenv("KORDBG") != nullptr;
  const bool discard_trace = !options.trace && !user_set_kordbg;
  trace_on_ = !discard_trace;
  if (options.trace_mask >= 0) {
    setenv("KORDBG", std::to_string(options.trace_mask).c_str(), 1);
  } else if (discard_trace) {
    setenv("KORDBG", "0", 1);
  }
  int trace_fd = -1;
  if (!options.trace_file.empty()) {
    trace_fd = OpenTraceFile(options.trace_file,
                             static_cast<mode_t>(options.file_mode), error);
    if (trace_fd < 0) return false;
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

  // An operator at a terminal ends a wait with Ctrl-C; with nobody there a
  // wait ends after an hour unless --wait-timeout says otherwise.
  if (options.wait_timeout_seconds > 0) {
    wait_timeout_ms_ = options.wait_timeout_seconds * 1000;
  } else if (!(isatty(0) && !options.data_from_stdin)) {
    wait_timeout_ms_ = int64_t{3600} * 1000;
  }
  watch_thread_ = std::thread([this] {
    BlockInterruptsInThisThread("korbr-watch");
    WatchLoop();
  });
  return true;
}

void HostSession::BeginCall(uint32_t stripe) {
  if (stripe < 32) watch_[stripe].call_started_ms.store(NowMs());
}

void HostSession::EndCall(uint32_t stripe) {
  if (stripe < 32) watch_[stripe].call_started_ms.store(0);
}

std::string HostSession::ExplainFailure(uint32_t stripe,
                                        const std::string &library_text) const {
  std::lock_guard<std::mutex> lock(causes_mutex_);
  if (stripe < 32 && !causes_[stripe].empty()) return causes_[stripe];
  return library_text;
}

void HostSession::GiveUp(uint32_t stripe, const std::string &cause) {
  {
    std::lock_guard<std::mutex> lock(causes_mutex_);
    if (stripe < 32 && causes_[stripe].empty()) causes_[stripe] = cause;
  }
  g_gave_up.store(true);
}

void HostSession::Announce(const std::string &line) {
  std::lock_guard<std::mutex> lock(console_);
  ClearProgressLocked();
  const std::string text = "korbr: " + options_.command + ": " + line + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void HostSession::WatchLoop() {
  std::unique_lock<std::mutex> lock(console_);
  while (!watch_stop_) {
    watch_wake_.wait_for(lock, std::chrono::milliseconds(250));
    if (watch_stop_) break;
    lock.unlock();
    const int64_t now = NowMs();
    for (uint32_t s = 0; s < 32; ++s) WatchStripe(s, now);
    lock.lock();
  }
}

void HostSession::WatchStripe(uint32_t stripe, int64_t now) {
  // A call shorter than this is work, not a wait.
  constexpr int64_t kWaitNoticeMs = 1500;
  // A wait whose cause korbr cannot tell is announced only after this.
  constexpr int64_t kUnexplainedWaitMs = 30000;
  constexpr int64_t kRepeatMs = 60000;
  StripeWatch &w = watch_[stripe];
  const int64_t started = w.call_started_ms.load();
  if (started == 0 || now - started < kWaitNoticeMs || w.prompting.load()) {
    w.wait_started_ms = 0;
    return;
  }
  if (w.wait_started_ms != started) {  // a new wait
    w.wait_started_ms = started;
    w.announced_ms = 0;
    w.announced.clear();
  }
  std::string device;
  {
    std::lock_guard<std::mutex> lock(console_);
    if (stripe < devices_.size()) device = devices_[stripe];
  }
  if (device.empty()) return;
  const bool writing = options_.command == "backup";
  std::string cause = DiagnoseWait(device, w.wanted_volume.load(), writing);
  if (w.write_protected.load() && writing) {
    // The library hands a write-protected cartridge back and tries again
    // later: the drive looks empty, but the cause is the protection.
    const std::string drive = DevnameOf(device);
    cause = "the cartridge in " + drive +
            " is write-protected (the library unloaded it): load a writable "
            "one (korbr vtape protect '" +
            drive + "' N off; korbr vtape load '" + drive + "' N)";
  }
  if (cause.empty()) {
    if (now - started < kUnexplainedWaitMs) return;
    cause = "the library has not returned for " +
            std::to_string((now - started) / 1000) + " s on " +
            DevnameOf(device) + " and gives no reason";
  }
  const int64_t waited_s = (now - started) / 1000;
  const bool timed_out =
      wait_timeout_ms_ >= 0 && now - started >= wait_timeout_ms_;
  if (w.announced.empty() ||
      (!timed_out &&
       (cause != w.announced || now - w.announced_ms >= kRepeatMs))) {
    const bool repeat = cause == w.announced;
    w.announced = cause;
    w.announced_ms = now;
    std::string how = "Ctrl-C gives up";
    if (wait_timeout_ms_ >= 0 && !timed_out) {
      how += ", as does the wait timeout in " +
             std::to_string((wait_timeout_ms_ - (now - started) + 999) / 1000) +
             " s";
    }
    Announce("stripe " + std::to_string(stripe) + " is " +
             (repeat ? "still waiting (" + std::to_string(waited_s) + " s): "
                     : std::string("waiting: ")) +
             cause + " (" + how + ")");
  }
  if (timed_out) {
    GiveUp(stripe, "gave up after " + std::to_string(waited_s) +
                       " s of waiting: " + cause);
  }
}

void HostSession::SetDevices(const std::vector<std::string> &devices,
                             const std::string &dbname) {
  std::lock_guard<std::mutex> lock(console_);
  devices_ = devices;
  devnames_.clear();
  for (const std::string &d : devices_) {
    devnames_.push_back(ReduceTapePrefix(DevnameOf(d)));
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

void HostSession::Warn(const std::string &line) {
  Announce("warning: " + line);
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
  const std::string reduced = ReduceTapePrefix(device);
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
    case kMsgMountVolume: {
      int stripe = -1;
      if (ArgText(args, 1) != nullptr) {
        std::lock_guard<std::mutex> lock(console_);
        stripe = StripeOfDevice(ArgText(args, 1));
      }
      const char *volume = ArgText(args, 0);
      if (stripe >= 0 && stripe < 32 && volume != nullptr) {
        watch_[stripe].wanted_volume.store(
            static_cast<uint32_t>(std::strtoul(volume, nullptr, 10)));
      }
      if (ArgText(args, 1) != nullptr && !IsTapeDevname(ArgText(args, 1))) {
        // On disk the library asks for a volume only when the file it found
        // is out of sequence, and it would reopen the same file at once,
        // forever: with nobody to replace it, give the restore up.  The
        // stripe's error names the file; no note about mounting comes
        // first, since nothing can be mounted.
        const std::string file = std::string(ArgText(args, 1)) + "." +
                                 (volume != nullptr ? volume : "?");
        const std::string cause =
            file + " is not volume " + (volume != nullptr ? volume : "?") +
            (stripe >= 0 ? " of stripe " + std::to_string(stripe) : "") +
            HeldVolume(file) +
            ": the volume files are out of order; nobody can replace a "
            "disk volume during a restore";
        if (stripe >= 0) {
          GiveUp(static_cast<uint32_t>(stripe), cause);
        } else {
          g_gave_up.store(true);
          Error(cause);
        }
      } else if (isatty(0) && !options_.data_from_stdin) {
        if (stripe >= 0 && stripe < 32) watch_[stripe].prompting.store(true);
        PromptForVolume(text);
        if (stripe >= 0 && stripe < 32) watch_[stripe].prompting.store(false);
      } else {
        // Nobody to ask: the library polls the drive until it is ready
        // (an autoloader, or someone loading the volume meanwhile).  A
        // request for action is shown even with --quiet.
        Announce(text + "; going on when the drive is ready (Ctrl-C gives up)");
      }
      return;
    }
    case kMsgBackupVolume:
    case kMsgRestoreVolume: {
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
    case kMsgSmallCapacity: {
      // It matters only to a backup, which fills volumes; every stripe
      // sends it for the same setting: once.
      if (options_.command != "backup") return;
      {
        std::lock_guard<std::mutex> lock(console_);
        if (!notes_once_.insert(text).second) return;
      }
      const char *value = ArgText(args, 0);
      const int64_t asked =
          value != nullptr ? std::strtoll(value, nullptr, 10) : 0;
      // What the library makes of it.
      const int64_t kb = CapacityKbKept(asked);
      Note("capacity=" + std::string(value != nullptr ? value : "?") +
           ": each volume holds at most " + std::to_string(kb) + " KB of data");
      return;
    }
    case kErrVolume: {
      const char *device = ArgText(args, 0);
      const char *reason = ArgText(args, 1);
      // A disk volume out of order: the mount request that follows is
      // where korbr names the file and gives up.
      if (device != nullptr && reason != nullptr && !IsTapeDevname(device) &&
          std::strcmp(reason, kOutOfOrderReason) == 0) {
        return;
      }
      if (device != nullptr && reason != nullptr &&
          std::strstr(reason, "write protected") != nullptr) {
        int stripe = -1;
        {
          std::lock_guard<std::mutex> lock(console_);
          stripe = StripeOfDevice(device);
        }
        if (stripe >= 0 && stripe < 32) {
          watch_[stripe].write_protected.store(true);
        }
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
  // A trace on the same terminal would break into the progress line.
  const bool trace_on_terminal = trace_on_ && options_.trace_file.empty() &&
                                 (options_.data_to_stdout || isatty(1));
  if (options_.quiet || !isatty(2) || progress_thread_.joinable() ||
      trace_on_terminal) {
    return;
  }
  progress_stop_ = false;
  started_ = std::chrono::steady_clock::now();
  progress_thread_ = std::thread([this] {
    BlockInterruptsInThisThread("korbr-progress");
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
