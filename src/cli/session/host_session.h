// session/: talking to the library, for the commands that drive it.
//
// What every korbr command that drives the library shares: the three
// callbacks (message texts, operator dialogue, cancellation), the routing
// of the library's trace log, the open-parameters record, the console
// (error lines, notes, the progress line) and Ctrl-C.
//
// The library is reached only through the nine functions of korbr/korbr.h.
//
// Trace routing.  The library writes its trace log to the process's
// standard output.  When the data goes to standard output (restore to "-"),
// Start() first moves the real standard output to a private descriptor for
// the data (data_fd()) and puts the trace destination on descriptor 1:
// the --trace-file, or standard error.  With --trace-file the trace goes to
// that file in every case.  With --quiet (and KORDBG not set by the user)
// KORDBG becomes 0 and the trace is discarded.
//
// Cancellation.  SIGINT and SIGTERM only set a flag, which the cancelled
// callback reports to the library and the commands poll between requests.
// A second signal ends the process at once (exit 1), removing the partial
// output file a restore registered.  Stripe threads block both signals so
// that they reach the thread that may be waiting on the data stream.
//
// Operator dialogue.  9234 (mount a volume): with a terminal on standard
// input that does not carry the data, the operator is prompted and korbr
// waits for Enter; otherwise a line says what is needed (also with
// --quiet: it asks for action) and the library goes on retrying until the
// drive is ready.  On disk a 9234 means a volume file out of order, which
// nobody can replace: the restore is given up and the stripe's error names
// the file, with no note of the request (nor of the 6920 before it)
// first.  9235, 9236, 9237 and 6920 arrive as notes on standard error
// unless --quiet.
//
// Waits.  The library waits inside its calls (free disk space, a drive
// that is not ready, a volume to mount) without telling why.  Stripe
// threads mark each library call (CallWatch); a watch thread notices a
// call that has not returned for a second and a half, finds the cause
// (wait_diagnosis.h) and announces it on standard error whatever
// --quiet says, repeating it at most once a minute.  After the wait
// timeout (--wait-timeout; by default none when an operator sits at a
// terminal, else one hour) the cancelled callback gives the wait up, and
// the cause becomes the stripe's error (ExplainFailure).
#ifndef KORBR_CLI_HOST_SESSION_H_
#define KORBR_CLI_HOST_SESSION_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "korbr/korbr.h"

namespace kor {
namespace cli {

struct SessionOptions {
  std::string command;           // "backup", "restore", "verify"
  bool quiet = false;            // no notes, no progress line
  bool trace = false;            // the library's trace log is wanted
  int trace_mask = -1;           // --trace=MASK; -1: KORDBG or the default
  std::string trace_file;        // "" for none
  int64_t wait_timeout_seconds = -1;  // -1: the default (see WaitWatch)
  bool data_to_stdout = false;   // the data stream goes to standard output
  bool data_from_stdin = false;  // the data stream comes from standard input
  uint32_t file_mode = 0600;     // of a trace file korbr creates
  std::vector<std::string> devices;  // the stripes' device strings
};

class HostSession {
 public:
  HostSession();
  ~HostSession();
  HostSession(const HostSession &) = delete;
  HostSession &operator=(const HostSession &) = delete;

  // Call before any library call.  Makes the process non-dumpable when it
  // holds a secret (secret_guard.h).  False with a reason when that, the
  // trace file or the standard output cannot be set up.
  bool Start(const SessionOptions &options, std::string *error);

  // The stripes' device strings and the database name, for OpenParams.
  // May be called again (a restore learns the stripe count from stripe 0).
  void SetDevices(const std::vector<std::string> &devices,
                  const std::string &dbname);
  const OpenParams *params() const { return &params_; }
  // Where the data goes when it goes to standard output.
  int data_fd() const { return data_fd_; }

  static bool Interrupted();
  // A partial output file to remove should a second Ctrl-C end the process.
  static void SetPartialOutputPath(const std::string &path);
  static void ClearPartialOutputPath();
  // For worker threads: leave SIGINT and SIGTERM to the main thread, and
  // name the thread (at most 15 bytes) as profilers and debuggers show it.
  static void BlockInterruptsInThisThread(const std::string &name);

  // "korbr: COMMAND: LINE" on standard error, always.
  void Error(const std::string &line);
  // "korbr: LINE" on standard error unless quiet.
  void Note(const std::string &line);
  // "korbr: COMMAND: warning: LINE" on standard error, always.
  void Warn(const std::string &line);

  // The progress line (standard error is a terminal and not quiet):
  // bytes, rate and the current volume of each stripe, at most twice a
  // second.  AddBytes may be called from any thread.
  void StartProgress(uint32_t stripes);
  void AddBytes(uint64_t bytes) { bytes_done_ += bytes; }
  void StopProgress();

  // The info callback's work (public for the callback trampoline).
  void OnInfo(int32_t number, const KorMessageArg *args);

  // Marks a library call of `stripe` (for the wait watch).
  void BeginCall(uint32_t stripe);
  void EndCall(uint32_t stripe);
  // The error line for a stripe whose library call failed with
  // `library_text`: the cause korbr found when it gave a wait up, or the
  // library's text.
  std::string ExplainFailure(uint32_t stripe,
                             const std::string &library_text) const;

 private:
  struct StripeWatch {
    std::atomic<int64_t> call_started_ms{0};   // 0: not in a library call
    std::atomic<uint32_t> wanted_volume{0};    // from the last 9234
    std::atomic<bool> prompting{false};        // an operator prompt is up
    std::atomic<bool> write_protected{false};  // 6920 "write protected" came
    // The watch thread's own bookkeeping of the current wait.
    int64_t wait_started_ms = 0;
    int64_t announced_ms = 0;
    std::string announced;
  };
  void WatchLoop();
  void WatchStripe(uint32_t stripe, int64_t now_ms);
  void Announce(const std::string &line);
  void GiveUp(uint32_t stripe, const std::string &cause);
  void ClearProgressLocked();
  void ProgressLoop();
  void PromptForVolume(const std::string &text);
  int StripeOfDevice(const std::string &device) const;

  SessionOptions options_;
  bool trace_on_ = false;  // the library's trace is wanted
  int data_fd_ = -1;
  OpenParams params_;
  std::vector<std::string> devices_;
  std::vector<std::string> devnames_;

  std::mutex console_;           // standard error, progress state
  bool progress_shown_ = false;  // a progress line is on the screen
  std::set<std::string> notes_once_;
  std::vector<std::string> volumes_;  // per stripe, "-" when unknown

  std::atomic<uint64_t> bytes_done_{0};
  bool progress_stop_ = false;
  std::condition_variable progress_wake_;
  std::thread progress_thread_;
  std::chrono::steady_clock::time_point started_;

  StripeWatch watch_[32];
  int64_t wait_timeout_ms_ = -1;  // -1: none
  bool watch_stop_ = false;
  std::condition_variable watch_wake_;
  std::thread watch_thread_;
  mutable std::mutex causes_mutex_;
  std::string causes_[32];  // why a wait of each stripe was given up
};

// Marks one library call of a stripe for the wait watch.
class CallWatch {
 public:
  CallWatch(HostSession *session, uint32_t stripe)
      : session_(session), stripe_(stripe) {
    session_->BeginCall(stripe_);
  }
  ~CallWatch() { session_->EndCall(stripe_); }
  CallWatch(const CallWatch &) = delete;
  CallWatch &operator=(const CallWatch &) = delete;

 private:
  HostSession *session_;
  uint32_t stripe_;
};

// The library's calls of a stripe thread, each marked for the wait watch.
inline void *WatchedOpen(HostSession *session, uint32_t stripe,
                         const OpenParams *params, int32_t mode,
                         MessageBuffer *msg) {
  CallWatch watch(session, stripe);
  return kor_open(static_cast<int32_t>(stripe), params, mode, msg);
}
inline int32_t WatchedWrite(HostSession *session, uint32_t stripe, void *handle,
                            const void *data, int32_t length,
                            MessageBuffer *msg) {
  CallWatch watch(session, stripe);
  return kor_write(handle, data, length, msg);
}
inline int32_t WatchedRead(HostSession *session, uint32_t stripe, void *handle,
                           void *data, int32_t length, MessageBuffer *msg) {
  CallWatch watch(session, stripe);
  return kor_read(handle, data, length, msg);
}
inline int32_t WatchedClose(HostSession *session, uint32_t stripe, void *handle,
                            int32_t mode, MessageBuffer *msg) {
  CallWatch watch(session, stripe);
  return kor_close(handle, mode, msg);
}

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_HOST_SESSION_H_
