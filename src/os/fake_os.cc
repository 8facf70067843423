// The scripted OS layer of the tests (fake_os.h): construction, scripting
// and inspection, time, environment and output, ScopedFakeOs.  Files are
// in fake_os_files.cc, tape drives in fake_os_tape.cc, the shared state in
// fake_os_state.h.
#include "os/fake_os.h"

#include <functional>
#include <mutex>
#include <utility>

#include "os/fake_os_state.h"
#include "os/win32_codes.h"

namespace kor {

using fake::Content;

// --- Construction and scripting ------------------------------------------

FakeOs::FakeOs(PathStyle style) : impl_(new Impl), style_(style) {
  impl_->cwd = style == PathStyle::kWindows ? "C:\\work" : "/work";
}

FakeOs::~FakeOs() { delete impl_; }

void FakeOs::Inject(const Fault &fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.push_back(fault);
}

void FakeOs::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.clear();
}

int FakeOs::Count(OsCall call) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->counts.find(call);
  return it == impl_->counts.end() ? 0 : it->second;
}

void FakeOs::AddFile(const std::string &name, std::vector<uint8_t> content) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::shared_ptr<Content> &file = impl_->files[name];
  // In place when the file exists, so open handles see the new content.
  if (file) {
    *file = std::move(content);
  } else {
    file = std::make_shared<Content>(std::move(content));
  }
}

void FakeOs::AddDirectory(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->directories.insert(name);
}

bool FakeOs::HasFile(const std::string &name) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->files.count(name) != 0;
}

std::vector<uint8_t> FakeOs::FileContent(const std::string &name) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->files.find(name);
  return it == impl_->files.end() ? Content() : *it->second;
}

void FakeOs::RemoveFile(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->files.erase(name);
}

std::vector<std::string> FakeOs::FileNames() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<std::string> names;
  for (const auto &item : impl_->files) names.push_back(item.first);
  return names;
}

std::vector<std::string> FakeOs::AbandonedFiles() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->abandoned;
}

int FakeOs::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return static_cast<int>(impl_->open.size());
}

void FakeOs::SetFreeSpace(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->free_space = bytes;
}

void FakeOs::SetCurrentDirectory(const std::string &directory) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->cwd = directory;
}

void FakeOs::SetEnv(const std::string &name, const std::string &value) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->env[name] = value;
}

void FakeOs::UnsetEnv(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->env.erase(name);
}

FakeTapeDrive &FakeOs::AddTapeDrive(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  FakeTapeDrive &drive = impl_->tapes[name];
  drive = FakeTapeDrive();
  return drive;
}

// A name never added gets a new, empty drive, like AddTapeDrive.
FakeTapeDrive &FakeOs::TapeDrive(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->tapes[name];
}

uint64_t FakeOs::SleptMilliseconds() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->slept_ms;
}

int FakeOs::SleepCalls() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sleep_calls;
}

void FakeOs::SetTickCount(uint32_t ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->tick = ms;
}

void FakeOs::SetProcessTimes(const ProcessTimes &times, uint64_t step) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->times = times;
  impl_->times_step = step;
}

std::vector<std::string> FakeOs::TraceLines() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->trace;
}

std::string FakeOs::TraceText() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::string text;
  for (const std::string &line : impl_->trace) text += line;
  return text;
}

void FakeOs::ClearTrace() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->trace.clear();
}

// --- Time, environment, output --------------------------------------------

void FakeOs::Sleep(uint32_t milliseconds) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->slept_ms += milliseconds;
    impl_->tick += milliseconds;  // wraps like GetTickCount
    ++impl_->sleep_calls;
  }
  // A copy, so a hook that replaces on_sleep does not destroy itself.
  const std::function<void(FakeOs &)> hook = on_sleep;
  if (hook) hook(*this);
}

uint32_t FakeOs::TickCount() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->tick;
}

bool FakeOs::GetProcessTimes(ProcessTimes *times) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->Hit(OsCall::kGetProcessTimes) != nullptr) return false;
  *times = impl_->times;
  impl_->times.kernel += impl_->times_step;
  impl_->times.user += impl_->times_step;
  return true;
}

bool FakeOs::GetEnv(const std::string &name, std::string *value) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->env.find(name);
  if (it == impl_->env.end()) return false;
  *value = it->second;
  return true;
}

void FakeOs::WriteTraceLine(const std::string &line) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->trace.push_back(line);
}

// --- ScopedFakeOs ----------------------------------------------------------

ScopedFakeOs::ScopedFakeOs(PathStyle style)
    : fake_(style), previous_(SetOsLayerForTesting(&fake_)) {}

ScopedFakeOs::~ScopedFakeOs() { SetOsLayerForTesting(previous_); }

}  // namespace kor
