// Console and progress: korbr's lines on standard error.
#include "cli/session/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/session/interrupts.h"

namespace kor {
namespace cli {
namespace {

std::string FormatRate(uint64_t bytes, double seconds) {
  char text[96];
  const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::snprintf(text, sizeof text, "%.1f MiB  %.1f MiB/s", mib,
                seconds > 0 ? mib / seconds : 0.0);
  return text;
}

}  // namespace

Console::~Console() { StopProgress(); }

void Console::Configure(const std::string &command, bool quiet) {
  command_ = command;
  quiet_ = quiet;
  started_ = std::chrono::steady_clock::now();
}

void Console::Error(const std::string &line) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
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

void Console::StartProgress(uint32_t stripes, bool trace_on_terminal) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (volumes_.size() < stripes) volumes_.resize(stripes, "-");
  }
  if (quiet_ || !isatty(2) || progress_thread_.joinable() ||
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
  std::unique_lock<std::mutex> lock(mutex_);
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
