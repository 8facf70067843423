// The wait watch: announces and times out library calls that wait.
#include "cli/session/wait_watch.h"

#include <chrono>
#include <cstdlib>

#include "cli/options/device_list.h"
#include "cli/session/console.h"
#include "cli/session/interrupts.h"
#include "cli/session/stripe_devices.h"
#include "cli/session/wait_diagnosis.h"

namespace kor {
namespace cli {
namespace {

// A call shorter than this is work, not a wait.
constexpr int64_t kWaitNoticeMs = 1500;
// A wait whose cause korbr cannot tell is announced only after this.
constexpr int64_t kUnexplainedWaitMs = 30000;
constexpr int64_t kRepeatMs = 60000;
// An unattended wait for a tape drive that exists nowhere.
constexpr int64_t kAbsentDriveMs = 60000;

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

WaitWatch::WaitWatch(Console *console, const StripeDevices *devices,
                     int64_t (*now_ms)())
    : console_(console),
      devices_(devices),
      now_ms_(now_ms != nullptr ? now_ms : SteadyNowMs) {}

WaitWatch::~WaitWatch() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    wake_.notify_all();
  }
  thread_.join();
}

void WaitWatch::Start(const Policy &policy) {
  policy_ = policy;
  thread_ = std::thread([this] {
    BlockInterruptsInThisThread("korbr-watch");
    Loop();
  });
}

void WaitWatch::BeginCall(uint32_t stripe) {
  if (stripe < kStripes) stripes_[stripe].call_started_ms.store(now_ms_());
}

void WaitWatch::EndCall(uint32_t stripe) {
  if (stripe < kStripes) stripes_[stripe].call_started_ms.store(0);
}

void WaitWatch::SetWantedVolume(uint32_t stripe, uint32_t volume) {
  if (stripe < kStripes) stripes_[stripe].wanted_volume.store(volume);
}

void WaitWatch::SetPrompting(uint32_t stripe, bool prompting) {
  if (stripe < kStripes) stripes_[stripe].prompting.store(prompting);
}

void WaitWatch::MarkWriteProtected(uint32_t stripe) {
  if (stripe < kStripes) stripes_[stripe].write_protected.store(true);
}

std::string WaitWatch::ExplainFailure(uint32_t stripe,
                                      const std::string &library_text) const {
  std::lock_guard<std::mutex> lock(causes_mutex_);
  if (stripe < kStripes && !causes_[stripe].empty()) return causes_[stripe];
  return library_text;
}

void WaitWatch::GiveUp(uint32_t stripe, const std::string &cause) {
  {
    std::lock_guard<std::mutex> lock(causes_mutex_);
    if (stripe < kStripes && causes_[stripe].empty()) causes_[stripe] = cause;
  }
  gave_up_.store(true);
}

void WaitWatch::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, std::chrono::milliseconds(250));
    if (stop_) break;
    lock.unlock();
    Poll();
    lock.lock();
  }
}

void WaitWatch::Poll() {
  const int64_t now = now_ms_();
  for (uint32_t s = 0; s < kStripes; ++s) WatchStripe(s, now);
}

// The stripe's wait timeout, -1 for none.
int64_t WaitWatch::TimeoutOf(uint32_t stripe) const {
  const int64_t timeout = policy_.timeout_ms;
  if (policy_.timeout_given) return timeout;
  const std::string device = devices_->DeviceOf(stripe);
  const std::string attended = DeviceStringValue(device, "attended");
  const bool unattended =
      !policy_.operator_present ||
      (!attended.empty() && std::strtol(attended.c_str(), nullptr, 10) == 0);
  if (!unattended || !TapeDriveAbsent(device)) return timeout;
  return timeout >= 0 && timeout < kAbsentDriveMs ? timeout : kAbsentDriveMs;
}

// Why the stripe waits, or "" while that cannot be told yet.
std::string WaitWatch::CauseOf(uint32_t stripe, int64_t now, int64_t started) {
  const std::string device = devices_->DeviceOf(stripe);
  if (device.empty()) return "";
  const StripeWatch &w = stripes_[stripe];
  std::string cause =
      DiagnoseWait(device, w.wanted_volume.load(), policy_.writing);
  if (w.write_protected.load() && policy_.writing) {
    // The library hands a write-protected cartridge back and tries again
    // later: the drive looks empty, but the cause is the protection.
    const std::string drive = DevnameOf(device);
    cause = "the cartridge in " + drive +
            " is write-protected (the library unloaded it): load a writable "
            "one (korbr vtape protect '" +
            drive + "' N off; korbr vtape load '" + drive + "' N)";
  }
  if (cause.empty() && now - started >= kUnexplainedWaitMs) {
    cause = "the library has not returned for " +
            std::to_string((now - started) / 1000) + " s on " +
            DevnameOf(device) + " and gives no reason";
  }
  return cause;
}

void WaitWatch::WatchStripe(uint32_t stripe, int64_t now) {
  StripeWatch &w = stripes_[stripe];
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
  const std::string cause = CauseOf(stripe, now, started);
  if (cause.empty()) return;
  const int64_t timeout = TimeoutOf(stripe);
  const bool timed_out = timeout >= 0 && now - started >= timeout;
  if (w.announced.empty() ||
      (!timed_out &&
       (cause != w.announced || now - w.announced_ms >= kRepeatMs))) {
    AnnounceWait(stripe, cause, now, started, timeout, timed_out);
  }
  if (timed_out) {
    GiveUp(stripe, "gave up after " + std::to_string((now - started) / 1000) +
                       " s of waiting: " + cause);
  }
}

void WaitWatch::AnnounceWait(uint32_t stripe, const std::string &cause,
                             int64_t now, int64_t started, int64_t timeout,
                            bool timed_out) {
  StripeWatch &w = stripes_[stripe];
  const bool repeat = cause == w.announced;
  w.announced = cause;
  w.announced_ms = now;
  std::string how = "Ctrl-C gives up";
  if (timeout >= 0 && !timed_out) {
    how += ", as does the wait timeout in " +
           std::to_string((timeout - (now - started) + 999) / 1000) + " s";
  }
  const int64_t waited_s = (now - started) / 1000;
  console_->Announce(
      "stripe " + std::to_string(stripe) + " is " +
      (repeat ? "still waiting (" + std::to_string(waited_s) + " s): "
              : std::string("waiting: ")) +
      cause + " (" + how + ")");
}

}  // namespace cli
}  // namespace kor
