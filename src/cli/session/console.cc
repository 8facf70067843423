// Console and progress: korbr's lines on standard error.
#include "cli/session/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "cli/session/interrupts.h"
#include "cli/session/run_report.h"

namespace kor {
namespace cli {
namespace {

}  // namespace

Console::~Console() { StopProgress(); }

void Console::Configure(const std::string &command, bool quiet) {
  command_ = command;
  quiet_ = quiet;
  started_ = std::chrono::steady_clock::now();
  run_started_ = started_;
}

void Console::Error(const std::string &line) { WriteLine(line, true); }

void Console::WriteLine(const std::string &line, bool error) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
  if (error && first_error_.empty()) first_error_ = line;
  const std::string text = "korbr: " + command_ + ": " + line + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void Console::Note(const std::string &line) {
  if (quiet_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
  const std::string text = "korbr: " + line + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

bool Console::FirstTime(const std::string &text) {
  std::lock_guard<std::mutex> lock(mutex_);
  return notes_once_.insert(text).second;
}

void Console::SetStripeCount(size_t stripes) {
  std::lock_guard<std::mutex> lock(mutex_);
  volumes_.resize(stripes, "-");
}

void Console::SetVolume(size_t stripe, const std::string &volume) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stripe < volumes_.size()) volumes_[stripe] = volume;
}

void Console::ClearProgressLocked() {
  if (progress_shown_) {
    std::fputs("\r\033[K", stderr);
    progress_shown_ = false;
  }
}

void Console::PromptForVolume(const std::string &text) {
  // One prompt at a time; notes and the progress line wait meanwhile.
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
  const std::string prompt =
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

void Console::SetTotal(uint64_t total, bool estimated) {
  std::lock_guard<std::mutex> lock(mutex_);
  total_ = total;
  total_estimated_ = estimated;
}

void Console::SetVolumeProbe(VolumeProbe probe) {
  std::lock_guard<std::mutex> lock(mutex_);
  probe_ = std::move(probe);
}

void Console::RunProbe() {
  VolumeProbe probe;
  size_t stripes = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    probe = probe_;
    stripes = volumes_.size();
  }
  if (!probe) return;
  for (size_t s = 0; s < stripes; ++s) {
    const std::string volume = probe(s, stripe_bytes(s));
    if (!volume.empty()) SetVolume(s, volume);
  }
}

void Console::ProbeVolumes() { RunProbe(); }

std::vector<std::string> Console::volumes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return volumes_;
}

double Console::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                       run_started_)
      .count();
}

std::string Console::FirstError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return first_error_;
}

void Console::StartProgress(uint32_t stripes, bool trace_on_terminal,
                            bool forced) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (volumes_.size() < stripes) volumes_.resize(stripes, "-");
  }
  if (quiet_ || !(forced || isatty(2)) || progress_thread_.joinable() ||
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

void Console::StopProgress() {
  if (!progress_thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_stop_ = true;
    progress_wake_.notify_all();
  }
  progress_thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
}

void Console::ProgressLoop() {
  // Drawn at once, so that the operator sees the run has started and what
  // it expects, then once a second.
  std::unique_lock<std::mutex> lock(mutex_);
  for (bool first = true; !progress_stop_; first = false) {
    if (!first) progress_wake_.wait_for(lock, std::chrono::seconds(1));
    if (progress_stop_) break;
    // The probe looks at files: not while other lines wait for the lock.
    lock.unlock();
    RunProbe();
    lock.lock();
    if (progress_stop_) break;
    const double seconds = std::chrono::duration<double>(
                               std::chrono::steady_clock::now() - started_)
                               .count();
    const std::string line =
        "\rkorbr: " +
        ProgressText(bytes_done_.load(), seconds, total_, total_estimated_,
                     volumes_) +
        "\033[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    progress_shown_ = true;
  }
}

}  // namespace cli
}  // namespace kor
