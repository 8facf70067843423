// Ctrl-C: the one signal flag and the handler that reads it.
#include "cli/session/interrupts.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace kor {
namespace cli {
namespace {

// The process's one signal flag.  A signal handler has no argument to
// carry state in, so this record is the single place the handler reads:
// a lock-free count of signals, and the path of a partial output file in a
// fixed buffer (the handler may not allocate) published through `path_set`.
struct SignalFlag {
  std::atomic<int> count{0};
  char path[4096];
  volatile sig_atomic_t path_set = 0;
  char volume_prefixes[32][4096];
  volatile sig_atomic_t volume_prefix_count = 0;
};
SignalFlag g_signal;

// Removes PREFIX.1, PREFIX.2, ... up to the first number that is missing
// (and the two after it, should a volume be appearing just then), with
// only what a signal handler may call.
void UnlinkVolumesOf(const char *prefix) {
  char path[4096 + 16];
  size_t length = 0;
  while (prefix[length] != '\0') {
    path[length] = prefix[length];
    ++length;
  }
  path[length++] = '.';
  int missing = 0;
  for (unsigned n = 1; n < 10000 && missing < 3; ++n) {
    char digits[8];
    size_t count = 0;
    for (unsigned rest = n; rest > 0; rest /= 10) {
      digits[count++] = static_cast<char>('0' + rest % 10);
    }
    for (size_t i = 0; i < count; ++i) path[length + i] = digits[count - 1 - i];
    path[length + count] = '\0';
    missing = unlink(path) == 0 ? 0 : missing + 1;
  }
}

extern "C" void OnInterruptSignal(int) {
  if (g_signal.count.fetch_add(1) >= 1) {
    if (g_signal.path_set) unlink(g_signal.path);
    for (sig_atomic_t i = 0; i < g_signal.volume_prefix_count; ++i) {
      UnlinkVolumesOf(g_signal.volume_prefixes[i]);
    }
    static const char kText[] =
        "\nkorbr: interrupted again: stopping at once; the operation is "
        "incomplete\n";
    ssize_t ignored = write(2, kText, sizeof kText - 1);
    if (g_signal.volume_prefix_count > 0) {
      static const char kVolumesText[] =
          "korbr: the volume files it wrote were removed; a backup that was "
          "there before is untouched\n";
      ignored = write(2, kVolumesText, sizeof kVolumesText - 1);
    }
    (void)ignored;
    _exit(1);
  }
}

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterruptSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read sees EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed pipe shows as EPIPE on write
}

bool Interrupted() { return g_signal.count.load() > 0; }

const InterruptSource &SignalInterrupts() {
  struct SignalSource final : InterruptSource {
    bool Interrupted() const override { return cli::Interrupted(); }
  };
  static const SignalSource source;
  return source;
}

void SetPartialOutputPath(const std::string &path) {
  g_signal.path_set = 0;
  std::snprintf(g_signal.path, sizeof g_signal.path, "%s", path.c_str());
  g_signal.path_set = path.size() < sizeof g_signal.path ? 1 : 0;
}

void ClearPartialOutputPath() { g_signal.path_set = 0; }

void SetPartialVolumePrefixes(const std::vector<std::string> &prefixes) {
  g_signal.volume_prefix_count = 0;
  sig_atomic_t count = 0;
  for (const std::string &prefix : prefixes) {
    if (count == 32 || prefix.size() >= sizeof g_signal.volume_prefixes[0]) {
      continue;
    }
    std::snprintf(g_signal.volume_prefixes[count],
                  sizeof g_signal.volume_prefixes[0], "%s", prefix.c_str());
    ++count;
  }
  g_signal.volume_prefix_count = count;
}

void ClearPartialVolumePrefixes() { g_signal.volume_prefix_count = 0; }

namespace {
void MaskInterrupts(int how) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(how, &set, nullptr);
}
}  // namespace

void HoldInterruptsInThisThread() { MaskInterrupts(SIG_BLOCK); }
void LetInterruptsThroughInThisThread() { MaskInterrupts(SIG_UNBLOCK); }

void BlockInterruptsInThisThread(const std::string &name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace cli
}  // namespace kor
