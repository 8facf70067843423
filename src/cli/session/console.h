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
#include <functional>
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
  void Announce(const std::string &line) { WriteLine(line, false); }
  // "korbr: LINE" unless quiet.
  void Note(const std::string &line);
  // True the first time `text` is passed (a note every stripe sends alike).
  bool FirstTime(const std::string &text);

  // The progress line: bytes, rate, the percentage and time left when the
  // total is known, and the current volume of each stripe, at most once a
  // second.  StartProgress shows it when standard error is a terminal or
  // `forced` (--progress), unless quiet or `trace_on_terminal`; it does
  // nothing when the line is already running.
  void StartProgress(uint32_t stripes, bool trace_on_terminal, bool forced);
  void AddBytes(uint64_t bytes) { bytes_done_ += bytes; }
  uint64_t bytes_done() const { return bytes_done_.load(); }
  // Bytes a stripe handed to or got from the library (its position in the
  // stripe's request stream).
  void AddStripeBytes(size_t stripe, uint64_t bytes) {
    if (stripe < kStripeSlots) stripe_bytes_[stripe] += bytes;
  }
  uint64_t stripe_bytes(size_t stripe) const {
    return stripe < kStripeSlots ? stripe_bytes_[stripe].load() : 0;
  }
  // The bytes the run will move, when known; `estimated` when it is only a
  // guess.  0: unknown.
  void SetTotal(uint64_t total, bool estimated);
  void StopProgress();
  // The stripes shown ("-" each until SetVolume names its volume); the
  // progress line grows to the stripes StartProgress is given.
  void SetStripeCount(size_t stripes);
  void SetVolume(size_t stripe, const std::string &volume);
  // Asks `probe` for each stripe's current volume (from its position) on
  // every progress tick, for media that announce no volumes; "" leaves
  // the column as it is.  Called without the console's lock held.
  using VolumeProbe = std::function<std::string(size_t stripe, uint64_t at)>;
  void SetVolumeProbe(VolumeProbe probe);
  // Runs the probe once more for every stripe (the run's end).
  void ProbeVolumes();
  // The volume shown for each stripe.
  std::vector<std::string> volumes();
  // Seconds since Configure.
  double Elapsed() const;
  // The first Error line written, without "korbr: COMMAND: " (announced
  // lines and warnings are not errors).
  std::string FirstError();

  // Shows `text` as a prompt and waits for Enter, the end of standard
  // input or Ctrl-C.  Other lines wait meanwhile.
  void PromptForVolume(const std::string &text);

 private:
  void ClearProgressLocked();
  // "korbr: COMMAND: LINE"; `error` lines are kept for FirstError.
  void WriteLine(const std::string &line, bool error);
  void ProgressLoop();
  void RunProbe();

  std::string command_;
  bool quiet_ = false;
  std::mutex mutex_;             // standard error, progress state
  bool progress_shown_ = false;  // a progress line is on the screen
  std::set<std::string> notes_once_;
  std::vector<std::string> volumes_;  // per stripe, "-" when unknown
  std::atomic<uint64_t> bytes_done_{0};
  static constexpr size_t kStripeSlots = 32;
  std::atomic<uint64_t> stripe_bytes_[kStripeSlots] = {};
  uint64_t total_ = 0;
  bool total_estimated_ = false;
  VolumeProbe probe_;
  std::string first_error_;
  std::chrono::steady_clock::time_point run_started_ =
      std::chrono::steady_clock::now();
  bool progress_stop_ = false;
  std::condition_variable progress_wake_;
  std::thread progress_thread_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_CONSOLE_H_
