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
// waits for Enter; otherwise a note says what is needed and the library
// goes on retrying until the drive is ready.  9235, 9236, 9237 and 6920
// arrive as notes on standard error unless --quiet.
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
  std::string command;           // "backup" or "restore", for message lines
  bool quiet = false;            // no notes, no progress, no trace
  std::string trace_file;        // "" for none
  bool data_to_stdout = false;   // the data stream goes to standard output
  bool data_from_stdin = false;  // the data stream comes from standard input
  uint32_t file_mode = 0600;     // of a trace file korbr creates
};

class HostSession {
 public:
  HostSession();
  ~HostSession();
  HostSession(const HostSession &) = delete;
  HostSession &operator=(const HostSession &) = delete;

  // Call before any library call.  False with a reason when the trace file
  // or the standard output cannot be set up.
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
  // For stripe threads: leave SIGINT and SIGTERM to the other threads.
  static void BlockInterruptsInThisThread();

  // "korbr: COMMAND: LINE" on standard error, always.
  void Error(const std::string &line);
  // "korbr: LINE" on standard error unless quiet.
  void Note(const std::string &line);

  // The progress line (standard error is a terminal and not quiet):
  // bytes, rate and the current volume of each stripe, at most twice a
  // second.  AddBytes may be called from any thread.
  void StartProgress(uint32_t stripes);
  void AddBytes(uint64_t bytes) { bytes_done_ += bytes; }
  void StopProgress();

  // The info callback's work (public for the callback trampoline).
  void OnInfo(int32_t number, const KorMessageArg *args);

 private:
  void ClearProgressLocked();
  void ProgressLoop();
  void PromptForVolume(const std::string &text);
  int StripeOfDevice(const std::string &device) const;

  SessionOptions options_;
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
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_HOST_SESSION_H_
