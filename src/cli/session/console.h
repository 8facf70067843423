// Console and progress: korbr's lines on standard error, the progress
// line, and the operator's prompt for a volume.
//
// Contract: every method is safe from any thread; lines never interleave,
// and a progress line on the screen is cleared before any other line is
// written.  Error and Announce lines are written whatever --quiet says;
// notes and the progress line are not written with --quiet.
#ifndef KORBR_CLI_SESSION_CONSOLE_H_
#define KORBR_CLI_SESSION_CONSOLE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kor {
namespace cli {

class Console {
 public:
  Console() = default;
  ~Console();
  Console(const Console &) = delete;
  Console &operator=(const Console &) = delete;

  // Before any line: the command named in error lines, and --quiet.
  void Configure(const std::string &command, bool quiet);

  // "korbr: COMMAND: LINE", always.
  void Error(const std::string &line);
  // The same, for lines the session itself announces (waits, requests for
  // action), always.
  void Announce(const std::string &line) { Error(line); }
  // "korbr: LINE" unless quiet.
  void Note(const std::string &line);
  // True the first time `text` is passed (a note every stripe sends alike).
  bool FirstTime(const std::string &text);

  // The progress line: bytes, rate and the current volume of each stripe,
  // at most twice a second.  StartProgress shows it only when standard
  // error is a terminal, not quiet and `trace_on_terminal` is false; it
  // does nothing when the line is already running.
  void StartProgress(uint32_t stripes, bool trace_on_terminal);
  void AddBytes(uint64_t bytes) { bytes_done_ += bytes; }
  void StopProgress();
  // The stripes shown ("-" each until SetVolume names its volume); the
  // progress line grows to the stripes StartProgress is given.
  void SetStripeCount(size_t stripes);
  void SetVolume(size_t stripe, const std::string &volume);

  // Shows `text` as a prompt and waits for Enter, the end of standard
  // input or Ctrl-C.  Other lines wait meanwhile.
  void PromptForVolume(const std::string &text);

 private:
  void ClearProgressLocked();
  void ProgressLoop();

  std::string command_;
  bool quiet_ = false;
  std::mutex mutex_;             // standard error, progress state
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

#endif  // KORBR_CLI_SESSION_CONSOLE_H_
