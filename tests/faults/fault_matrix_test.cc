// The fault matrix: every OS call that a backup and a restore make, failed
// in every way the library tells apart.
//
// Strategy: a scenario (a disk stripe over several small volume files, a
// tape stripe over several cartridges of an autoloader) is run through the
// exported functions with the scripted OS layer installed: a backup of a
// stream cut into requests of several sizes, then its restore with the
// same requests.  A clean run counts the calls of each kind per phase and
// notes the length every read and write asked for.  Then the scenario runs
// once per case: a call kind, a failure kind (an error code from each error
// class the library acts on, an interrupted call once and for good, a code
// of 0, a transfer of half the bytes and of none) and an occurrence (the
// first, middle and last call of that kind in the phase).
//
// Every run must end one of two ways: every host call succeeded and each
// read gave back exactly the bytes written, or a call failed and the
// host's message buffer holds a known error number with the arguments the
// host's format callback received.  No read may ever succeed with other
// bytes, and a backup that reported success (its fault gone by the
// restore) must restore whole.  Waits are bounded by the virtual clock:
// the host cancels once a phase has waited an hour, and a library that
// sleeps on after that, or never asks, aborts the run.  After every run
// the library holds no handle and no OS handle is open, except those the
// injected fault itself refused to close, which must have been reported.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/process_state.h"
#include "diag/trace_log.h"
#include "korbr/korbr.h"
#include "os/fake_os.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

using testkit::HostMessage;
using testkit::HostRecorder;

// --- The OS layer of the matrix ---------------------------------------------

// The scripted fake, also noting how many bytes each read and write asked
// for, so that a short transfer can move half of what its call wanted.
class MatrixOs : public FakeOs {
 public:
  MatrixOs() : FakeOs(PathStyle::kWindows) {}

  bool ReadFile(OsHandle handle, void *buffer, uint32_t length,
                uint32_t *done, uint32_t *error) override {
    read_lengths.push_back(length);
    return FakeOs::ReadFile(handle, buffer, length, done, error);
  }
  bool WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                 uint32_t *done, uint32_t *error) override {
    write_lengths.push_back(length);
    return FakeOs::WriteFile(handle, buffer, length, done, error);
  }

  // Length asked for by each call, by occurrence (index 0 = the first).
  std::vector<uint32_t> read_lengths;
  std::vector<uint32_t> write_lengths;
};

// Installs an OS layer for the life of the object.
class InstalledOs {
 public:
  explicit InstalledOs(OsLayer *layer)
      : previous_(SetOsLayerForTesting(layer)) {}
  ~InstalledOs() { SetOsLayerForTesting(previous_); }
  InstalledOs(const InstalledOs &) = delete;
  InstalledOs &operator=(const InstalledOs &) = delete;

 private:
  OsLayer *previous_;
};

// --- Scenarios --------------------------------------------------------------

constexpr char kTapeName[] = "\\\\.\\TAPE0";
constexpr int kCartridges = 5;

struct Scenario {
  std::string name;
  bool tape = false;
  std::string devstring;
  std::vector<std::vector<uint8_t>> requests;
  int volumes = 0;  // the backup spans this many
  // The call kinds each phase must make, so that none escapes the matrix.
  std::vector<OsCall> backup_calls;
  std::vector<OsCall> restore_calls;
};

std::vector<std::vector<uint8_t>> CutStream(const std::vector<int32_t> &cycle,
                                            int cycles) {
  std::vector<std::vector<uint8_t>> requests;
  uint32_t seed = 1;
  for (int c = 0; c < cycles; ++c)
    for (int32_t length : cycle)
      requests.push_back(
          testkit::PatternBytes(static_cast<size_t>(length), seed++));
  return requests;
}

// A relative prefix (the current directory is asked for) on 256 KB
// volumes: about 620 KB of requests from 0 bytes to 70000 fill three.
Scenario DiskScenario() {
  Scenario s;
  s.name = "disk";
  s.devstring = "devname=bk\\s1;dbtype=ZDBn;capacity=256";
  s.requests = CutStream({70000, 4095, 160, 1, 0, 30001, 83}, 6);
  s.volumes = 3;
  s.backup_calls = {OsCall::kGetCurrentDirectory, OsCall::kGetFileAttributes,
                    OsCall::kGetDiskFreeSpace,    OsCall::kOpenFile,
                    OsCall::kWriteFile,           OsCall::kCloseHandle,
                    OsCall::kGetProcessTimes};
  s.restore_calls = {OsCall::kGetCurrentDirectory, OsCall::kOpenFile,
                     OsCall::kReadFile, OsCall::kCloseHandle,
                     OsCall::kGetProcessTimes};
  return s;
}

// 1024-byte blocks on an autoloader of five cartridges, 256 KB each by
// the budget: about 540 KB of requests of 0 to 5000 bytes take three.
Scenario TapeScenario() {
  Scenario s;
  s.name = "tape";
  s.tape = true;
  s.devstring = std::string("devname=") + kTapeName +
                ";dbtype=ZDBn;blocksize=1024;capacity=256;stacker=" +
                std::to_string(kCartridges);
  s.requests = CutStream({1024, 3000, 100, 2048, 0, 5000}, 48);
  s.volumes = 3;
  s.backup_calls = {OsCall::kOpenFile,           OsCall::kGetTapeStatus,
                    OsCall::kGetTapeMediaParams, OsCall::kGetTapeDriveParams,
                    OsCall::kSetTapeBlockSize,   OsCall::kWriteFile,
                    OsCall::kWriteTapemarks,     OsCall::kUnloadTape,
                    OsCall::kCloseHandle,        OsCall::kGetProcessTimes};
  s.restore_calls = {OsCall::kOpenFile,           OsCall::kGetTapeStatus,
                     OsCall::kGetTapeMediaParams, OsCall::kGetTapeDriveParams,
                     OsCall::kSetTapeBlockSize,   OsCall::kReadFile,
                     OsCall::kUnloadTape,         OsCall::kCloseHandle,
                     OsCall::kGetProcessTimes};
  return s;
}

void PrepareWorld(const Scenario &s, MatrixOs *os) {
  os->SetEnv("KORDBG", "255");    // every trace line is formatted
  os->SetEnv("KORIOPROF", "3");   // and every transfer timed
  os->UnsetEnv("KOR_DO_NOT_OFFL");
  os->SetCurrentDirectory("C:\\work");
  os->SetFreeSpace(uint64_t{1} << 40);
  if (s.tape) {
    FakeTapeDrive &drive = os->AddTapeDrive(kTapeName);
    drive.cartridges.resize(kCartridges);
    drive.stacker = true;
    drive.loaded = 0;
  }
}

// The operator puts the first cartridge back for the restore.
void RewindForRestore(const Scenario &s, MatrixOs *os) {
  if (!s.tape) return;
  FakeTapeDrive &drive = os->TapeDrive(kTapeName);
  drive.loaded = 0;
  drive.position = 0;
}

// --- Call kinds and failure kinds -------------------------------------------

// How a call reports failure, which decides the failures it can be given.
enum class Shape {
  kTransfer,     // ReadFile, WriteFile: an error, or a short transfer
  kBoolAndCode,  // false with a Win32 code (0 included)
  kCode,         // returns the code itself (0 is success, not a failure)
  kFlag,         // fails without a code
};

struct CallKind {
  OsCall call;
  const char *name;
  Shape shape;
};

const CallKind kCallKinds[] = {
    {OsCall::kOpenFile, "OpenFile", Shape::kBoolAndCode},
    {OsCall::kReadFile, "ReadFile", Shape::kTransfer},
    {OsCall::kWriteFile, "WriteFile", Shape::kTransfer},
    {OsCall::kCloseHandle, "CloseHandle", Shape::kBoolAndCode},
    {OsCall::kGetFileAttributes, "GetFileAttributes", Shape::kFlag},
    {OsCall::kGetDiskFreeSpace, "GetDiskFreeSpace", Shape::kBoolAndCode},
    {OsCall::kGetCurrentDirectory, "GetCurrentDirectory", Shape::kFlag},
    {OsCall::kGetTapeStatus, "GetTapeStatus", Shape::kCode},
    {OsCall::kGetTapeMediaParams, "GetTapeMediaParams", Shape::kBoolAndCode},
    {OsCall::kGetTapeDriveParams, "GetTapeDriveParams", Shape::kBoolAndCode},
    {OsCall::kSetTapeBlockSize, "SetTapeBlockSize", Shape::kBoolAndCode},
    {OsCall::kWriteTapemarks, "WriteTapemarks", Shape::kCode},
    {OsCall::kUnloadTape, "UnloadTape", Shape::kCode},
    {OsCall::kGetProcessTimes, "GetProcessTimes", Shape::kFlag},
};

enum class Transfer { kFail, kHalf, kNone };

struct FailureKind {
  const char *name;
  uint32_t error;
  int times;  // 1, or -1 for every call from the first hit on
  Transfer transfer;
};

// One code from each error class the library acts on or passes through:
// 5 (class 6), 6 (4, invalid handle), 32 (33), 112 (12, disk full), 995
// (16, interrupted), 39 and 1100 (38, the default), and a failure that
// leaves no code at all.
const FailureKind kCodeFailures[] = {
    {"error 5", 5, 1, Transfer::kFail},
    {"error 6", 6, 1, Transfer::kFail},
    {"error 32", 32, 1, Transfer::kFail},
    {"error 112", 112, 1, Transfer::kFail},
    {"error 995", 995, 1, Transfer::kFail},
    {"error 39", 39, 1, Transfer::kFail},
    {"error 1100", 1100, 1, Transfer::kFail},
    {"error 0", 0, 1, Transfer::kFail},
    {"error 995 for good", 995, -1, Transfer::kFail},
    {"error 5 for good", 5, -1, Transfer::kFail},
};

const FailureKind kTransferFailures[] = {
    {"half transfer", 0, 1, Transfer::kHalf},
    {"zero-byte transfer", 0, 1, Transfer::kNone},
    {"half transfers for good", 0, -1, Transfer::kHalf},
    {"zero-byte transfers for good", 0, -1, Transfer::kNone},
};

const FailureKind kFlagFailures[] = {
    {"fails", 0, 1, Transfer::kFail},
    {"fails for good", 0, -1, Transfer::kFail},
};

std::vector<FailureKind> FailuresFor(Shape shape) {
  std::vector<FailureKind> kinds;
  if (shape == Shape::kFlag)
    return std::vector<FailureKind>(std::begin(kFlagFailures),
                                    std::end(kFlagFailures));
  for (const FailureKind &kind : kCodeFailures) {
    // For a call that returns its code, 0 is the answer "done".
    if (shape == Shape::kCode && kind.error == 0) continue;
    kinds.push_back(kind);
  }
  if (shape == Shape::kTransfer)
    kinds.insert(kinds.end(), std::begin(kTransferFailures),
                 std::end(kTransferFailures));
  return kinds;
}

// --- One run ----------------------------------------------------------------

// The host cancels a phase that has waited this long in virtual time, or
// polled this often; a library that sleeps on for the grace period after
// that (or sleeps this long without asking at all) never ends its wait.
constexpr uint64_t kWaitBoundMs = 3600 * 1000;
constexpr int kPollBound = 5000;
constexpr uint64_t kGraceMs = 1000 * 1000;

struct RunResult {
  std::vector<std::string> problems;
  bool all_succeeded = false;
  bool cancelled = false;
  std::map<OsCall, int> backup_calls;   // per kind, in the backup phase
  std::map<OsCall, int> restore_calls;  // per kind, in the restore phase
  std::vector<uint32_t> read_lengths;
  std::vector<uint32_t> write_lengths;
};

bool TakesDevice(int32_t number) {
  switch (number) {
    case 6918:  // no arguments
    case 6923:
    case 6930:
      return false;
    default:
      return true;
  }
}

class Run {
 public:
  Run(const Scenario &scenario, const Fault *fault, bool fault_in_restore,
      const std::string &label)
      : s_(scenario), fault_(fault), fault_in_restore_(fault_in_restore),
        label_(label) {}

  RunResult Go();

 private:
  void Problem(const std::string &what) { result_.problems.push_back(what); }
  void CheckFailure(const std::string &call, const MessageBuffer &msg);
  void CheckOsHandles(const std::string &when);
  int RefusedCloses() const;
  bool Backup();
  bool Restore(bool *complete);
  void StartPhase();

  const Scenario &s_;
  const Fault *fault_;
  bool fault_in_restore_;
  std::string label_;
  MatrixOs os_;
  HostRecorder *host_ = nullptr;
  OpenParams params_{};
  RunResult result_;
  // Wait bounds of the current phase.
  int phase_first_poll_ = 0;
  uint64_t phase_start_ms_ = 0;
  bool cancelling_ = false;
  uint64_t cancelled_at_ms_ = 0;
};

void Run::StartPhase() {
  phase_first_poll_ = host_->cancel_polls;
  phase_start_ms_ = os_.SleptMilliseconds();
  cancelling_ = false;
}

// A failed call must leave the text of the last error it raised in the
// host's buffer: a known number, with the arguments the host received.
void Run::CheckFailure(const std::string &call, const MessageBuffer &msg) {
  const std::string text(msg.text, strnlen(msg.text, sizeof msg.text));
  if (msg.length <= 0 || static_cast<size_t>(msg.length) != text.size()) {
    Problem(call + " failed without a message (length word " +
            std::to_string(msg.length) + ", text \"" + text + "\")");
    return;
  }
  const int number = std::atoi(text.c_str());
  if (number < 6918 || number > 6944) {
    Problem(call + " failed with \"" + text + "\": not a known error number");
    return;
  }
  if (host_->errors.empty()) {
    Problem(call + " failed with \"" + text +
            "\" but no error reached the host");
    return;
  }
  const HostMessage &last = host_->errors.back();
  std::string words = std::to_string(last.number);
  for (const std::string &arg : last.args) words += "|" + arg;
  if (words != text) {
    Problem(call + ": the buffer holds \"" + text +
            "\" but the last error the host worded was \"" + words + "\"");
    return;
  }
  if (TakesDevice(number) && (last.args.empty() || last.args[0].empty()))
    Problem(call + " failed with " + std::to_string(number) +
            " without the device name");
  for (const std::string &arg : last.args)
    if (arg.empty())
      Problem(call + " failed with " + text + ": an empty argument");
}

// Closes the injected fault refused: the fake keeps such a handle open,
// and nothing can close it again safely (on POSIX the number may already
// belong to another file).
int Run::RefusedCloses() const {
  if (fault_ == nullptr || fault_->call != OsCall::kCloseHandle ||
      fault_->error == kErrorOperationAborted)
    return 0;
  const int reached = os_.Count(OsCall::kCloseHandle) - fault_->first + 1;
  if (reached <= 0) return 0;
  return fault_->times < 0 ? reached : std::min(reached, fault_->times);
}

void Run::CheckOsHandles(const std::string &when) {
  const int open = os_.OpenHandleCount();
  const int refused = RefusedCloses();
  if (open > refused) {
    Problem(std::to_string(open) + " OS handle(s) open " + when);
  } else if (open > 0) {
    bool reported = false;
    for (const HostMessage &m : host_->errors) reported |= m.number == 6921;
    if (!reported)
      Problem("an OS handle was left open " + when + " without error 6921");
  }
}

// Writes the stream; true when every call succeeded.
bool Run::Backup() {
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *h = kor_open(0, &params_, KOR_MODE_WRITE, &msg);
  if (h == nullptr) {
    CheckFailure("the backup's kor_open", msg);
    CheckOsHandles("after a refused backup open");
    return false;
  }
  bool clean = true;
  for (size_t i = 0; i < s_.requests.size(); ++i) {
    const std::vector<uint8_t> &request = s_.requests[i];
    std::memset(&msg, 0, sizeof msg);
    if (kor_write(h, request.data(), static_cast<int32_t>(request.size()),
                  &msg) != 0) {
      CheckFailure("kor_write of request " + std::to_string(i), msg);
      clean = false;
      break;  // a host gives the backup up at its first failure
    }
  }
  std::memset(&msg, 0, sizeof msg);
  if (kor_close(h, KOR_CLOSE_NORMAL, &msg) != 0) {
    CheckFailure("the backup's kor_close", msg);
    clean = false;
  }
  return clean;
}

// Reads the stream back with the same requests; true when every call
// succeeded.  A read that succeeds must give the bytes written.
bool Run::Restore(bool *complete) {
  *complete = false;
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *h = kor_open(0, &params_, KOR_MODE_READ, &msg);
  if (h == nullptr) {
    CheckFailure("the restore's kor_open", msg);
    CheckOsHandles("after a refused restore open");
    return false;
  }
  bool clean = true;
  size_t delivered = 0;
  std::vector<uint8_t> buffer;
  for (size_t i = 0; i < s_.requests.size(); ++i) {
    const std::vector<uint8_t> &request = s_.requests[i];
    buffer.assign(request.size() + 1, 0xEE);
    std::memset(&msg, 0, sizeof msg);
    if (kor_read(h, buffer.data(), static_cast<int32_t>(request.size()),
                 &msg) != 0) {
      CheckFailure("kor_read of request " + std::to_string(i), msg);
      clean = false;
      break;
    }
    if (!request.empty() &&
        std::memcmp(buffer.data(), request.data(), request.size()) != 0) {
      Problem("kor_read of request " + std::to_string(i) +
              " succeeded with bytes that were not written");
      clean = false;
      break;
    }
    if (buffer[request.size()] != 0xEE)
      Problem("kor_read of request " + std::to_string(i) +
              " wrote past the end of the host's buffer");
    ++delivered;
  }
  *complete = delivered == s_.requests.size();
  std::memset(&msg, 0, sizeof msg);
  if (kor_close(h, KOR_CLOSE_NORMAL, &msg) != 0) {
    CheckFailure("the restore's kor_close", msg);
    clean = false;
  }
  return clean;
}

RunResult Run::Go() {
  InstalledOs installed(&os_);
  ResetTraceMemoryForTesting();
  PrepareWorld(s_, &os_);
  if (fault_ != nullptr) os_.Inject(*fault_);
  HostRecorder host;
  host_ = &host;
  host.cancel = [this](int poll) {
    if (!cancelling_ &&
        (poll - phase_first_poll_ > kPollBound ||
         os_.SleptMilliseconds() - phase_start_ms_ > kWaitBoundMs)) {
      cancelling_ = true;
      cancelled_at_ms_ = os_.SleptMilliseconds();
      result_.cancelled = true;
    }
    return cancelling_;
  };
  const std::string label = label_;
  os_.on_sleep = [this, label](FakeOs &fake) {
    const uint64_t limit =
        (cancelling_ ? cancelled_at_ms_ : phase_start_ms_ + kWaitBoundMs) +
        kGraceMs;
    if (fake.SleptMilliseconds() > limit) {
      std::fprintf(stderr,
                   "fault matrix, %s: a wait that does not end (%llu ms of "
                   "virtual time%s)\n",
                   label.c_str(),
                   static_cast<unsigned long long>(fake.SleptMilliseconds()),
                   cancelling_ ? ", cancelled long ago" : ", never cancelled");
      std::abort();
    }
  };
  params_.archdev[0] = s_.devstring.c_str();

  StartPhase();
  const bool backup_clean = Backup();
  CheckOsHandles("after the backup");
  for (const CallKind &kind : kCallKinds)
    result_.backup_calls[kind.call] = os_.Count(kind.call);

  StartPhase();
  RewindForRestore(s_, &os_);
  bool complete = false;
  const bool restore_clean = Restore(&complete);
  CheckOsHandles("after the restore");
  for (const CallKind &kind : kCallKinds)
    result_.restore_calls[kind.call] =
        os_.Count(kind.call) - result_.backup_calls[kind.call];

  if (LiveHandleCount() != 0)
    Problem(std::to_string(LiveHandleCount()) +
            " library handle(s) still live after every kor_close");
  // A backup that said it succeeded must be restorable, unless the fault
  // is still there when the restore runs.
  const bool fault_reaches_restore =
      fault_ != nullptr && (fault_in_restore_ || fault_->times < 0);
  if (backup_clean && !complete && !fault_reaches_restore)
    Problem("the backup reported success, but its restore failed");
  result_.all_succeeded = backup_clean && restore_clean;
  if (result_.all_succeeded && !complete)
    Problem("every call succeeded but the restore is not whole");
  result_.read_lengths = os_.read_lengths;
  result_.write_lengths = os_.write_lengths;
  host_ = nullptr;
  os_.on_sleep = nullptr;
  return result_;
}

std::string Describe(const RunResult &result) {
  std::string text;
  for (const std::string &problem : result.problems) text += "\n  " + problem;
  return text;
}

// --- The matrix -------------------------------------------------------------

struct MatrixCount {
  int cases = 0;
  int failed_as_reported = 0;  // runs that ended in a reported failure
  int cancelled = 0;           // runs whose wait the host ended
};

MatrixCount RunMatrix(const Scenario &scenario) {
  MatrixCount count;
  const RunResult clean =
      Run(scenario, nullptr, false, scenario.name + " clean").Go();
  EXPECT_TRUE(clean.problems.empty())
      << scenario.name << " without faults:" << Describe(clean);
  EXPECT_TRUE(clean.all_succeeded) << scenario.name << " without faults";
  if (!clean.problems.empty() || !clean.all_succeeded) return count;
  for (OsCall call : scenario.backup_calls)
    EXPECT_GT(clean.backup_calls.at(call), 0)
        << scenario.name << ": a backup call kind is never made";
  for (OsCall call : scenario.restore_calls)
    EXPECT_GT(clean.restore_calls.at(call), 0)
        << scenario.name << ": a restore call kind is never made";
  // One open per volume in each phase.
  EXPECT_EQ(clean.backup_calls.at(OsCall::kOpenFile), scenario.volumes);
  EXPECT_EQ(clean.restore_calls.at(OsCall::kOpenFile), scenario.volumes);

  for (int phase = 0; phase < 2; ++phase) {
    const bool restore = phase == 1;
    const std::map<OsCall, int> &calls =
        restore ? clean.restore_calls : clean.backup_calls;
    for (const CallKind &kind : kCallKinds) {
      const int n = calls.at(kind.call);
      if (n == 0) continue;
      const int before = restore ? clean.backup_calls.at(kind.call) : 0;
      const std::set<int> occurrences = {1, (n + 1) / 2, n};
      for (const FailureKind &failure : FailuresFor(kind.shape)) {
        for (int occurrence : occurrences) {
          Fault fault{kind.call};
          fault.first = before + occurrence;
          fault.times = failure.times;
          fault.error = failure.error;
          if (failure.transfer != Transfer::kFail) {
            const std::vector<uint32_t> &lengths =
                kind.call == OsCall::kReadFile ? clean.read_lengths
                                               : clean.write_lengths;
            const uint32_t asked =
                lengths.at(static_cast<size_t>(fault.first - 1));
            fault.transfer =
                failure.transfer == Transfer::kHalf ? asked / 2 : 0;
          }
          const std::string label =
              scenario.name + (restore ? " restore, " : " backup, ") +
              kind.name + " #" + std::to_string(occurrence) + " of " +
              std::to_string(n) + ", " + failure.name;
          SCOPED_TRACE(label);
          const RunResult result = Run(scenario, &fault, restore, label).Go();
          ++count.cases;
          if (!result.all_succeeded) ++count.failed_as_reported;
          if (result.cancelled) ++count.cancelled;
          EXPECT_TRUE(result.problems.empty()) << label << Describe(result);
        }
      }
    }
  }
  return count;
}

void Report(const Scenario &scenario, const MatrixCount &count) {
  std::printf("fault matrix, %s: %d cases (%d ended in a reported failure, "
              "%d of them after the host cancelled a wait)\n",
              scenario.name.c_str(), count.cases, count.failed_as_reported,
              count.cancelled);
}

TEST(FaultMatrixTest, DiskBackupAndRestoreSurviveEveryFault) {
  const Scenario scenario = DiskScenario();
  const MatrixCount count = RunMatrix(scenario);
  Report(scenario, count);
  EXPECT_GT(count.failed_as_reported, 0);
}

TEST(FaultMatrixTest, TapeBackupAndRestoreSurviveEveryFault) {
  const Scenario scenario = TapeScenario();
  const MatrixCount count = RunMatrix(scenario);
  Report(scenario, count);
  EXPECT_GT(count.failed_as_reported, 0);
}

}  // namespace
}  // namespace kor
