// The wait watch: notices a library call that does not return, says why
// on standard error, and gives the wait up after the wait timeout.
//
// The library waits inside its calls (free disk space, a drive that is not
// ready, a volume to mount) without telling why.  Stripe threads mark each
// library call (CallWatch in host_session.h); a watch thread notices a call
// that has not returned for a second and a half, finds the cause
// (wait_diagnosis.h) and announces it whatever --quiet says, repeating it
// at most once a minute.  After the wait timeout the run is given up: the
// cancelled callback says so to the library (GaveUp()), and the cause
// becomes the stripe's error (ExplainFailure()).
//
// A tape name that exists nowhere is most likely mistyped: with nobody
// attending (no operator at a terminal, or attended=0 in the stripe's
// device string) and no --wait-timeout of its own, that wait is given up
// after a minute, not the hour of other unattended waits.
//
// Contract: Start() once; the thread stops when the watch is destroyed.
// Every other method is safe from any thread.  Stripes 32 and above are
// not watched.
#ifndef KORBR_CLI_SESSION_WAIT_WATCH_H_
#define KORBR_CLI_SESSION_WAIT_WATCH_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kor {
namespace cli {

class Console;
class StripeDevices;

class WaitWatch {
 public:
  // `now_ms`: the clock, in milliseconds (the steady clock by default).
  WaitWatch(Console *console, const StripeDevices *devices,
            int64_t (*now_ms)() = nullptr);
  ~WaitWatch();
  WaitWatch(const WaitWatch &) = delete;
  WaitWatch &operator=(const WaitWatch &) = delete;

  struct Policy {
    bool writing = false;          // a backup: a write-protected cartridge
                                   // is then a cause
    int64_t timeout_ms = -1;       // -1 for none
    bool timeout_given = false;    // --wait-timeout set timeout_ms
    bool operator_present = true;  // at a terminal that can answer
  };
  // Sets the policy and starts the watch thread.
  void Start(const Policy &policy);
  // Sets the policy only; Poll() then does the watch thread's work.
  void SetPolicy(const Policy &policy) { policy_ = policy; }
  // Looks at every stripe once, as the watch thread does four times a
  // second: announces waits and gives them up.
  void Poll();

  void BeginCall(uint32_t stripe);
  void EndCall(uint32_t stripe);
  // What the library's messages tell about a stripe's wait.
  void SetWantedVolume(uint32_t stripe, uint32_t volume);
  void SetPrompting(uint32_t stripe, bool prompting);
  void MarkWriteProtected(uint32_t stripe);

  // Gives the run up with `cause` as the stripe's error (the first cause
  // of a stripe stays); GiveUpRun() gives it up with no stripe to blame.
  void GiveUp(uint32_t stripe, const std::string &cause);
  void GiveUpRun() { gave_up_.store(true); }
  bool GaveUp() const { return gave_up_.load(); }
  // The cause korbr found when it gave the stripe's wait up, or
  // `library_text`.
  std::string ExplainFailure(uint32_t stripe,
                             const std::string &library_text) const;

 private:
  static constexpr uint32_t kStripes = 32;
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
  void Loop();
  void WatchStripe(uint32_t stripe, int64_t now_ms);
  std::string CauseOf(uint32_t stripe, int64_t now_ms, int64_t started);
  int64_t TimeoutOf(uint32_t stripe) const;
  void AnnounceWait(uint32_t stripe, const std::string &cause, int64_t now,
                    int64_t started, int64_t timeout, bool timed_out);

  Console *console_;
  const StripeDevices *devices_;
  int64_t (*now_ms_)();
  Policy policy_;
  StripeWatch stripes_[kStripes];
  std::atomic<bool> gave_up_{false};

  std::mutex mutex_;  // stop_
  bool stop_ = false;
  std::condition_variable wake_;
  std::thread thread_;
  mutable std::mutex causes_mutex_;
  std::string causes_[kStripes];  // why a wait of each stripe was given up
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_WAIT_WATCH_H_
