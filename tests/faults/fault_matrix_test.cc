// The fault matrix: every OS call that a backup and a restore make, failed
// in every way the library tells apart, with the ending each fault must
// have.
//
// Strategy: a scenario (a disk stripe over several small volume files, a
// tape stripe over several cartridges of an autoloader; each on stripe 0
// and on a later stripe) is run through the exported functions with the
// scripted OS layer installed: a backup of a stream cut into requests of
// several sizes, then its restore with the same requests.  A clean run
// counts the calls of each kind per phase and notes, for every read and
// write, the length it asked for and its role (a header label and of which
// volume, the end-of-volume or closing labels, data).  Then the scenario
// runs once per case: a call kind, a failure kind (an error code from each
// error class the library acts on, an interrupted call once and for good,
// a code of 0, a transfer of half the bytes and of none) and a placement:
// by order (the first, middle and last call of that kind in the phase) and
// by role (the label writes and reads of a volume switch, the first data
// block, the closing labels).
//
// The expectation table (one row per call kind and scenario) says which
// phases make the call and how each failure class must end the phase: with
// success (the library rides it out), with one of the row's message
// numbers, or, for a header label transfer, with the volume refused
// (6920).  Beyond that every run must keep these rules: a failed call
// leaves a known message number in the host's buffer with the arguments the
// host received; no read succeeds with other bytes; a backup that reported
// success restores byte for byte unless the fault also hit a call the
// restore makes; waits end once the host cancels them; after every run no
// library handle is live and no OS handle is open, except those the
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
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "korbr/korbr.h"
#include "os/fake_os.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"
#include "support/message_catalog.h"

namespace kor {
namespace {

using testkit::HostMessage;
using testkit::HostRecorder;

// --- Roles of reads and writes -----------------------------------------------

// What a read or write carried, told from its bytes (the stream's bytes
// never hold the letter E, so never a label's name) and its place: HDR1 and
// HDR2 count only right after VOL1, since a tape block padding a short
// request may still hold the last label written.
enum class Role {
  kHeader,   // VOL1, HDR1 or HDR2
  kEov,      // the end-of-volume labels of a volume switch
  kClosing,  // the closing labels of the backup
  kData,
  kNone,  // the call failed in the clean run (a file mark read ahead)
};

struct TransferNote {
  uint32_t length = 0;  // bytes asked for
  Role role = Role::kNone;
  int volume = 0;  // kHeader: the volume whose labels these are
};

TransferNote Classify(const void *buffer, uint32_t length, uint32_t done,
                      bool ok, const TransferNote *previous) {
  TransferNote t;
  t.length = length;
  const int last_volume = previous != nullptr ? previous->volume : 0;
  const bool after_header =
      previous != nullptr && previous->role == Role::kHeader;
  if (!ok) return t;
  const char *bytes = static_cast<const char *>(buffer);
  auto begins = [&](const char *id) {
    return done >= 4 && std::memcmp(bytes, id, 4) == 0;
  };
  t.volume = last_volume;
  if (begins("VOL1")) {
    t.role = Role::kHeader;
    t.volume = done >= 10 ? std::atoi(std::string(bytes + 6, 4).c_str()) : 0;
  } else if (after_header && (begins("HDR1") || begins("HDR2"))) {
    t.role = Role::kHeader;
  } else if (begins("EOV1")) {
    t.role = Role::kEov;
  } else if (begins("EOF1")) {
    t.role = Role::kClosing;
  } else {
    t.role = Role::kData;
    // A disk volume's last write carries its trailer behind the data.
    auto ends = [&](const char *id) {
      return done >= 160 && std::memcmp(bytes + done - 160, id, 4) == 0;
    };
    if (ends("EOV1")) t.role = Role::kEov;
    if (ends("EOF1")) t.role = Role::kClosing;
  }
  return t;
}

// --- The OS layer of the matrix ---------------------------------------------

// The scripted fake, also noting the length and role of every read and
// write, so that a short transfer can move half of what its call wanted and
// faults can be placed by role.
class MatrixOs : public FakeOs {
 public:
  MatrixOs() : FakeOs(PathStyle::kWindows) {}

  bool ReadFile(OsHandle handle, void *buffer, uint32_t length, uint32_t *done,
                uint32_t *error) override {
    const bool ok = FakeOs::ReadFile(handle, buffer, length, done, error);
    reads.push_back(Classify(buffer, length, *done, ok,
                             reads.empty() ? nullptr : &reads.back()));
    return ok;
  }
  bool WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                 uint32_t *done, uint32_t *error) override {
    writes.push_back(Classify(buffer, length, length, true,
                              writes.empty() ? nullptr : &writes.back()));
    return FakeOs::WriteFile(handle, buffer, length, done, error);
  }

  // Each call, by occurrence (index 0 = the first).
  std::vector<TransferNote> reads;
  std::vector<TransferNote> writes;
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

// --- Failure kinds -----------------------------------------------------------

// How a call reports failure, which decides the failures it can be given.
enum class Shape {
  kTransfer,     // ReadFile, WriteFile: an error, or a short transfer
  kBoolAndCode,  // false with a Win32 code (0 included)
  kCode,         // returns the code itself (0 is success, not a failure)
  kFlag,         // fails without a code
};

// Failure classes: what the library must tell apart.
enum Class : uint32_t {
  kPlainOnce = 1u << 0,  // a code of the default class (or 5, 6, 32)
  kPlainForGood = 1u << 1,
  kInterruptedOnce = 1u << 2,  // 995
  kInterruptedForGood = 1u << 3,
  kDiskFullOnce = 1u << 4,  // 112
  kNoCodeOnce = 1u << 5,    // failed with code 0, or without a code
  kNoCodeForGood = 1u << 6,
  kShortOnce = 1u << 7,  // a transfer of half the bytes
  kShortForGood = 1u << 8,
  kNoneOnce = 1u << 9,  // a transfer of no bytes
  kNoneForGood = 1u << 10,
};
constexpr uint32_t kAnyClass = (1u << 11) - 1;
constexpr uint32_t kOnce = kPlainOnce | kInterruptedOnce | kDiskFullOnce |
                           kNoCodeOnce | kShortOnce | kNoneOnce;
constexpr uint32_t kShort = kShortOnce | kShortForGood;

enum class Moved { kFail, kHalf, kNone };

struct FailureKind {
  const char *name;
  uint32_t error;
  int times;  // 1, or -1 for every call from the first hit on
  Moved transfer;
  Class cls;
};

// One code from each error class the library acts on or passes through:
// 5 (class 6), 6 (4, invalid handle), 32 (33), 112 (12, disk full), 995
// (16, interrupted), 39 and 1100 (38, the default), and a failure that
// leaves no code at all.
const FailureKind kCodeFailures[] = {
    {"error 5", 5, 1, Moved::kFail, kPlainOnce},
    {"error 6", 6, 1, Moved::kFail, kPlainOnce},
    {"error 32", 32, 1, Moved::kFail, kPlainOnce},
    {"error 112", kErrorDiskFull, 1, Moved::kFail, kDiskFullOnce},
    {"error 995", kErrorOperationAborted, 1, Moved::kFail, kInterruptedOnce},
    {"error 39", 39, 1, Moved::kFail, kPlainOnce},
    {"error 1100", kErrorEndOfMedia, 1, Moved::kFail, kPlainOnce},
    {"error 0", 0, 1, Moved::kFail, kNoCodeOnce},
    {"error 995 for good", kErrorOperationAborted, -1, Moved::kFail,
     kInterruptedForGood},
    {"error 5 for good", 5, -1, Moved::kFail, kPlainForGood},
};

const FailureKind kTransferFailures[] = {
    {"half transfer", 0, 1, Moved::kHalf, kShortOnce},
    {"zero-byte transfer", 0, 1, Moved::kNone, kNoneOnce},
    {"half transfers for good", 0, -1, Moved::kHalf, kShortForGood},
    {"zero-byte transfers for good", 0, -1, Moved::kNone, kNoneForGood},
};

const FailureKind kFlagFailures[] = {
    {"fails", 0, 1, Moved::kFail, kNoCodeOnce},
    {"fails for good", 0, -1, Moved::kFail, kNoCodeForGood},
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

// --- The expectation table ---------------------------------------------------

constexpr int32_t kSucceeds = 0;

// How a fault of one call kind ends one phase.
struct Ending {
  bool made = false;         // the phase makes this call
  int32_t numbers[3] = {};   // the messages a failed phase may end with
  uint32_t rides_out = 0;    // classes the phase must survive
  uint32_t may_survive = 0;  // classes it may survive or fail with numbers
};

Ending NotMade() { return Ending(); }
Ending Ends(std::initializer_list<int32_t> numbers, uint32_t rides_out = 0,
            uint32_t may_survive = 0) {
  Ending e;
  e.made = true;
  size_t i = 0;
  for (int32_t n : numbers) e.numbers[i++] = n;
  e.rides_out = rides_out;
  e.may_survive = may_survive;
  return e;
}
// Failures of a call whose result the library can do without.
Ending Harmless() { return Ends({}, kAnyClass); }

struct CallRow {
  OsCall call;
  const char *name;
  Shape shape;
  Ending backup;
  Ending restore;
  // Reads and writes of header labels: the classes the transfer itself
  // rides out; any other failure refuses the volume (6920).
  uint32_t header_rides_out = 0;
  // Disk backups carry their labels to the OS with the data around them:
  // a failed write there is the data write's, whatever it carried.
  bool labels_go_with_data = false;
};

// A disk stripe: volume files, free space, the current directory.  The
// disk's own full-disk waits ride out a full disk, a write without a code
// and one of no bytes; a short write is completed.
const CallRow kDiskRows[] = {
    {OsCall::kOpenFile, "OpenFile", Shape::kBoolAndCode, Ends({kErrVolume}),
     Ends({kErrVolume})},
    {OsCall::kReadFile, "ReadFile", Shape::kTransfer, NotMade(),
     // Half of a request that meets the end-of-volume labels still holds
     // all of them.
     Ends({kErrRead}, kInterruptedOnce, kShort), kInterruptedOnce},
    {OsCall::kWriteFile, "WriteFile", Shape::kTransfer,
     Ends({kErrWrite, kErrDiskFull},
          kInterruptedOnce | kDiskFullOnce | kNoCodeOnce | kShort | kNoneOnce),
     NotMade(), kInterruptedOnce | kShort, true},
    // A backup volume is on stable storage before its close counts.
    {OsCall::kFlushFile, "FlushFile", Shape::kBoolAndCode, Ends({kErrClose}),
     NotMade()},
    {OsCall::kFlushDirectory, "FlushDirectory", Shape::kBoolAndCode,
     Ends({kErrClose}), NotMade()},
    // A restore's close between volumes only releases the volume.
    {OsCall::kCloseHandle, "CloseHandle", Shape::kBoolAndCode,
     Ends({kErrClose}, kInterruptedOnce),
     Ends({kErrClose}, kInterruptedOnce, kAnyClass)},
    {OsCall::kGetFileAttributes, "GetFileAttributes", Shape::kFlag, Harmless(),
     NotMade()},
    {OsCall::kGetDiskFreeSpace, "GetDiskFreeSpace", Shape::kBoolAndCode,
     Ends({kErrFreeSpace}), NotMade()},
    {OsCall::kGetCurrentDirectory, "GetCurrentDirectory", Shape::kFlag,
     Ends({kErrBadDeviceString}), Ends({kErrBadDeviceString})},
    {OsCall::kGetProcessTimes, "GetProcessTimes", Shape::kFlag, Harmless(),
     Harmless()},
    {OsCall::kGetFileSize, "GetFileSize", Shape::kBoolAndCode, NotMade(),
     Ends({kErrRead})},
};

// A tape stripe on an autoloader.  Opening a drive waits for it to be
// ready, asking again while the drive cannot be opened or its status read;
// the host ends such a wait (6932).  The first media and drive queries of
// an open belong to that wait.
const CallRow kTapeRows[] = {
    {OsCall::kOpenFile, "OpenFile", Shape::kBoolAndCode,
     Ends({kErrInterrupted}, kOnce), Ends({kErrInterrupted}, kOnce)},
    {OsCall::kGetTapeStatus, "GetTapeStatus", Shape::kCode,
     Ends({kErrInterrupted}, kOnce), Ends({kErrInterrupted}, kOnce)},
    {OsCall::kGetTapeMediaParams, "GetTapeMediaParams", Shape::kBoolAndCode,
     Ends({kErrMediaParams, kErrInterrupted}, 0, kOnce),
     Ends({kErrMediaParams}, 0, kOnce)},
    {OsCall::kGetTapeDriveParams, "GetTapeDriveParams", Shape::kBoolAndCode,
     Ends({kErrDriveParams}, 0, kOnce), Ends({kErrDriveParams}, 0, kOnce)},
    {OsCall::kSetTapeBlockSize, "SetTapeBlockSize", Shape::kBoolAndCode,
     Ends({kErrSetBlockSize}), Ends({kErrSetBlockSize})},
    // A short block read where the end-of-volume block lies still shows
    // the labels.
    {OsCall::kReadFile, "ReadFile", Shape::kTransfer, NotMade(),
     Ends({kErrRead}, kInterruptedOnce, kShort), kInterruptedOnce},
    {OsCall::kWriteFile, "WriteFile", Shape::kTransfer,
     Ends({kErrWrite}, kInterruptedOnce), NotMade(), kInterruptedOnce},
    {OsCall::kWriteTapemarks, "WriteTapemarks", Shape::kCode,
     Ends({kErrTapemark}), NotMade()},
    // Unloading the last cartridge is only reported; on a restore a
    // cartridge left in the drive is the wrong next volume.
    {OsCall::kUnloadTape, "UnloadTape", Shape::kCode,
     Ends({kErrTapemark}, 0, kAnyClass), Ends({kErrVolume}, 0, kAnyClass)},
    {OsCall::kCloseHandle, "CloseHandle", Shape::kBoolAndCode,
     Ends({kErrClose}, kInterruptedOnce),
     Ends({kErrClose}, kInterruptedOnce, kAnyClass)},
    {OsCall::kGetProcessTimes, "GetProcessTimes", Shape::kFlag, Harmless(),
     Harmless()},
};

// --- Scenarios --------------------------------------------------------------

constexpr char kTapeName[] = "\\\\.\\TAPE0";
constexpr int kCartridges = 5;

struct Scenario {
  std::string name;
  bool tape = false;
  int32_t stripe = 0;
  std::string devstring;
  std::vector<std::vector<uint8_t>> requests;
  int volumes = 0;  // the backup spans this many
  std::vector<CallRow> rows;
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
Scenario DiskScenario(int32_t stripe) {
  Scenario s;
  s.name = "disk stripe " + std::to_string(stripe);
  s.stripe = stripe;
  s.devstring = "devname=bk\\s1;dbtype=ZDBn;capacity=256";
  s.requests = CutStream({70000, 4095, 160, 1, 0, 30001, 83}, 6);
  s.volumes = 3;
  s.rows.assign(std::begin(kDiskRows), std::end(kDiskRows));
  return s;
}

// 1024-byte blocks on an autoloader of five cartridges, 256 KB each by
// the budget: about 540 KB of requests of 0 to 5000 bytes take three.
Scenario TapeScenario(int32_t stripe) {
  Scenario s;
  s.name = "tape stripe " + std::to_string(stripe);
  s.tape = true;
  s.stripe = stripe;
  s.devstring = std::string("devname=") + kTapeName +
                ";dbtype=ZDBn;blocksize=1024;capacity=256;stacker=" +
                std::to_string(kCartridges);
  s.requests = CutStream({1024, 3000, 100, 2048, 0, 5000}, 48);
  s.volumes = 3;
  s.rows.assign(std::begin(kTapeRows), std::end(kTapeRows));
  return s;
}

void PrepareWorld(const Scenario &s, MatrixOs *os) {
  os->SetEnv("KORDBG", "255");   // every trace line is formatted
  os->SetEnv("KORIOPROF", "3");  // and every transfer timed
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

// --- One run ----------------------------------------------------------------

// The host cancels a phase that has waited this long in virtual time, or
// polled this often; a library that sleeps on for the grace period after
// that (or sleeps this long without asking at all) never ends its wait.
constexpr uint64_t kWaitBoundMs = 3600 * 1000;
constexpr int kPollBound = 5000;
constexpr uint64_t kGraceMs = 1000 * 1000;

struct RunResult {
  std::vector<std::string> problems;
  bool backup_clean = false;
  bool restore_clean = false;
  bool restored_whole = false;
  int32_t backup_ending = kSucceeds;  // message of the first failed call
  int32_t restore_ending = kSucceeds;
  bool cancelled = false;
  std::map<OsCall, int> backup_calls;   // per kind, in the backup phase
  std::map<OsCall, int> restore_calls;  // per kind, in the restore phase
  std::vector<TransferNote> reads;
  std::vector<TransferNote> writes;
};

class Run {
 public:
  Run(const Scenario &scenario, const Fault *fault, bool fault_reaches_restore,
      const std::string &label)
      : s_(scenario),
        fault_(fault),
        fault_reaches_restore_(fault_reaches_restore),
        label_(label) {}

  RunResult Go();

 private:
  void Problem(const std::string &what) { result_.problems.push_back(what); }
  void CheckFailure(const std::string &call, const MessageBuffer &msg);
  void CheckOsHandles(const std::string &when);
  int RefusedCloses() const;
  bool Backup();
  bool Restore(bool *complete);
  void StartPhase(bool restore);

  const Scenario &s_;
  const Fault *fault_;
  bool fault_reaches_restore_;
  std::string label_;
  MatrixOs os_;
  HostRecorder *host_ = nullptr;
  OpenParams params_{};
  RunResult result_;
  bool in_restore_ = false;
  // Wait bounds of the current phase.
  int phase_first_poll_ = 0;
  uint64_t phase_start_ms_ = 0;
  bool cancelling_ = false;
  uint64_t cancelled_at_ms_ = 0;
};

void Run::StartPhase(bool restore) {
  in_restore_ = restore;
  phase_first_poll_ = host_->cancel_polls;
  phase_start_ms_ = os_.SleptMilliseconds();
  cancelling_ = false;
}

// A failed call must leave the text of the last error it raised in the
// host's buffer: a known number, with the arguments the host received.
// The phase's ending is the number of its first failed call.
void Run::CheckFailure(const std::string &call, const MessageBuffer &msg) {
  const std::string text(msg.text, strnlen(msg.text, sizeof msg.text));
  if (msg.length <= 0 || static_cast<size_t>(msg.length) != text.size()) {
    Problem(call + " failed without a message (length word " +
            std::to_string(msg.length) + ", text \"" + text + "\")");
    return;
  }
  const int number = std::atoi(text.c_str());
  int32_t &ending =
      in_restore_ ? result_.restore_ending : result_.backup_ending;
  if (ending == kSucceeds) ending = number;
  if (!testkit::IsLibraryMessage(number) || number >= kMsgMountVolume) {
    Problem(call + " failed with \"" + text + "\": not an error number");
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
  // The device name comes first wherever a message has arguments.
  if (testkit::MessageArgumentCount(number) > 0 &&
      (last.args.empty() || last.args[0].empty()))
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
    for (const HostMessage &m : host_->errors)
      reported |= m.number == kErrClose;
    if (!reported)
      Problem("an OS handle was left open " + when + " without error 6921");
  }
}

// Writes the stream; true when every call succeeded.
bool Run::Backup() {
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *h = kor_open(s_.stripe, &params_, KOR_MODE_WRITE, &msg);
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
  void *h = kor_open(s_.stripe, &params_, KOR_MODE_READ, &msg);
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
  params_.archdev[s_.stripe] = s_.devstring.c_str();

  StartPhase(false);
  result_.backup_clean = Backup();
  CheckOsHandles("after the backup");
  for (const CallRow &row : s_.rows)
    result_.backup_calls[row.call] = os_.Count(row.call);

  StartPhase(true);
  RewindForRestore(s_, &os_);
  result_.restore_clean = Restore(&result_.restored_whole);
  CheckOsHandles("after the restore");
  for (const CallRow &row : s_.rows)
    result_.restore_calls[row.call] =
        os_.Count(row.call) - result_.backup_calls[row.call];

  if (LiveHandleCount() != 0)
    Problem(std::to_string(LiveHandleCount()) +
            " library handle(s) still live after every kor_close");
  // A backup that said it succeeded must be restorable, unless the fault
  // is one the restore meets too.
  if (result_.backup_clean && !result_.restored_whole &&
      !fault_reaches_restore_)
    Problem("the backup reported success, but its restore failed");
  if (result_.backup_clean && result_.restore_clean && !result_.restored_whole)
    Problem("every call succeeded but the restore is not whole");
  result_.reads = os_.reads;
  result_.writes = os_.writes;
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

// Where a fault is put: an occurrence of the call in the phase, named.
struct Placement {
  int occurrence;  // from 1, within the phase
  std::string name;
};

const char *RoleName(Role role) {
  switch (role) {
    case Role::kHeader:
      return "header label";
    case Role::kEov:
      return "end-of-volume labels";
    case Role::kClosing:
      return "closing labels";
    case Role::kData:
      return "data";
    case Role::kNone:
      return "failed read";
  }
  return "?";
}

// The first, middle and last call of the kind in the phase, and for reads
// and writes the first of each role: the labels of volume 2 (a volume
// switch), the end-of-volume labels, the first data, the closing labels.
std::vector<Placement> Placements(int n,
                                  const std::vector<TransferNote> &phase) {
  std::vector<Placement> placements;
  std::set<int> taken;
  auto add = [&](int occurrence, const std::string &name) {
    if (occurrence >= 1 && occurrence <= n && taken.insert(occurrence).second)
      placements.push_back({occurrence, name});
  };
  for (size_t i = 0; i < phase.size(); ++i) {
    const TransferNote &t = phase[i];
    const int occurrence = static_cast<int>(i) + 1;
    if (t.role == Role::kHeader && t.volume == 2)
      add(occurrence, "the labels of volume 2");
    else if (t.role == Role::kEov || t.role == Role::kClosing)
      add(occurrence, RoleName(t.role));
  }
  for (size_t i = 0; i < phase.size(); ++i)
    if (phase[i].role == Role::kData) {
      add(static_cast<int>(i) + 1, "the first data");
      break;
    }
  add(1, "the first");
  add((n + 1) / 2, "the middle");
  add(n, "the last");
  return placements;
}

// Whether the phase may end with `ending` after `failure` hit the call
// first where it carried `role`.
bool EndingAllowed(const CallRow &row, const Ending &expect,
                   const FailureKind &failure, Role role, int32_t ending,
                   std::string *wanted) {
  std::set<int32_t> allowed;
  // A read or write failing for good also fails the next volume's labels
  // where the phase gets that far.
  if (failure.times < 0 && row.shape == Shape::kTransfer &&
      !row.labels_go_with_data)
    allowed.insert((failure.cls & row.header_rides_out) != 0 ? kSucceeds
                                                             : kErrVolume);
  if (role == Role::kHeader && !row.labels_go_with_data) {
    allowed.insert((failure.cls & row.header_rides_out) != 0 ? kSucceeds
                                                             : kErrVolume);
  } else if ((failure.cls & expect.rides_out) != 0) {
    allowed.insert(kSucceeds);
  } else {
    for (int32_t n : expect.numbers)
      if (n != 0) allowed.insert(n);
    if ((failure.cls & expect.may_survive) != 0) allowed.insert(kSucceeds);
  }
  for (int32_t n : allowed)
    *wanted += (wanted->empty() ? "" : " or ") +
               (n == kSucceeds ? std::string("success") : std::to_string(n));
  return allowed.count(ending) != 0;
}

MatrixCount RunMatrix(const Scenario &scenario) {
  MatrixCount count;
  const RunResult clean =
      Run(scenario, nullptr, false, scenario.name + " clean").Go();
  EXPECT_TRUE(clean.problems.empty())
      << scenario.name << " without faults:" << Describe(clean);
  EXPECT_TRUE(clean.backup_clean && clean.restore_clean && clean.restored_whole)
      << scenario.name << " without faults";
  if (!clean.problems.empty() || !clean.backup_clean || !clean.restore_clean)
    return count;
  // Each phase makes exactly the calls its rows say.
  for (const CallRow &row : scenario.rows) {
    EXPECT_EQ(row.backup.made, clean.backup_calls.at(row.call) > 0)
        << scenario.name << ": the backup's " << row.name << " calls";
    EXPECT_EQ(row.restore.made, clean.restore_calls.at(row.call) > 0)
        << scenario.name << ": the restore's " << row.name << " calls";
  }
  // One open per volume in each phase.
  EXPECT_EQ(clean.backup_calls.at(OsCall::kOpenFile), scenario.volumes);
  EXPECT_EQ(clean.restore_calls.at(OsCall::kOpenFile), scenario.volumes);
  const size_t backup_reads = 0;
  const size_t backup_writes =
      static_cast<size_t>(clean.backup_calls.at(OsCall::kWriteFile));

  for (int phase = 0; phase < 2; ++phase) {
    const bool restore = phase == 1;
    const std::map<OsCall, int> &calls =
        restore ? clean.restore_calls : clean.backup_calls;
    for (const CallRow &row : scenario.rows) {
      const Ending &expect = restore ? row.restore : row.backup;
      const int n = calls.at(row.call);
      if (n == 0) continue;
      const int before = restore ? clean.backup_calls.at(row.call) : 0;
      // The reads or writes of this phase, by occurrence.
      std::vector<TransferNote> transfers;
      if (row.call == OsCall::kReadFile)
        transfers.assign(clean.reads.begin() +
                             static_cast<ptrdiff_t>(restore ? backup_reads : 0),
                         clean.reads.end());
      if (row.call == OsCall::kWriteFile)
        transfers.assign(
            clean.writes.begin(),
            clean.writes.begin() + static_cast<ptrdiff_t>(backup_writes));
      // A new transfer call (a gathered write, say) needs MatrixOs to note
      // its lengths and roles as it does for ReadFile and WriteFile.
      if (row.shape == Shape::kTransfer && transfers.empty()) {
        ADD_FAILURE() << scenario.name << ": MatrixOs does not note the "
                      << row.name << " calls";
        continue;
      }
      // A fault for good on a call the restore makes meets the restore too.
      const bool restore_makes = row.restore.made;
      for (const FailureKind &failure : FailuresFor(row.shape)) {
        for (const Placement &place : Placements(n, transfers)) {
          Fault fault{row.call};
          fault.first = before + place.occurrence;
          fault.times = failure.times;
          fault.error = failure.error;
          Role role = Role::kNone;
          if (!transfers.empty()) {
            const TransferNote &t =
                transfers.at(static_cast<size_t>(place.occurrence - 1));
            role = t.role;
            if (failure.transfer != Moved::kFail)
              fault.transfer =
                  failure.transfer == Moved::kHalf ? t.length / 2 : 0;
          }
          const std::string label =
              scenario.name + (restore ? " restore, " : " backup, ") +
              row.name + " #" + std::to_string(place.occurrence) + " of " +
              std::to_string(n) + " (" + place.name +
              (transfers.empty() ? "" : std::string(", ") + RoleName(role)) +
              "), " + failure.name;
          SCOPED_TRACE(label);
          const bool reaches_restore =
              restore || (failure.times < 0 && restore_makes);
          const RunResult result =
              Run(scenario, &fault, reaches_restore, label).Go();
          ++count.cases;
          if (!(result.backup_clean && result.restore_clean))
            ++count.failed_as_reported;
          if (result.cancelled) ++count.cancelled;
          EXPECT_TRUE(result.problems.empty()) << label << Describe(result);
          // The phase the fault was put in ends as the table says; a backup
          // fault that spares the restore leaves a restorable backup.
          const int32_t ending =
              restore ? result.restore_ending : result.backup_ending;
          std::string wanted;
          EXPECT_TRUE(
              EndingAllowed(row, expect, failure, role, ending, &wanted))
              << label << ": ended with "
              << (ending == kSucceeds ? std::string("success")
                                      : std::to_string(ending))
              << ", expected " << wanted;
          if (restore) {
            EXPECT_EQ(kSucceeds, result.backup_ending) << label;
          }
        }
      }
    }
  }
  return count;
}

void Report(const Scenario &scenario, const MatrixCount &count) {
  std::printf(
      "fault matrix, %s: %d cases (%d ended in a reported failure, "
      "%d of them after the host cancelled a wait)\n",
      scenario.name.c_str(), count.cases, count.failed_as_reported,
      count.cancelled);
}

class FaultMatrixTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(FaultMatrixTest, DiskBackupAndRestoreEndAsTheTableSays) {
  const Scenario scenario = DiskScenario(GetParam());
  const MatrixCount count = RunMatrix(scenario);
  Report(scenario, count);
  EXPECT_GT(count.failed_as_reported, 0);
}

TEST_P(FaultMatrixTest, TapeBackupAndRestoreEndAsTheTableSays) {
  const Scenario scenario = TapeScenario(GetParam());
  const MatrixCount count = RunMatrix(scenario);
  Report(scenario, count);
  EXPECT_GT(count.failed_as_reported, 0);
}

// Stripe 0, and a later stripe, whose volumes carry its own number.
INSTANTIATE_TEST_SUITE_P(Stripes, FaultMatrixTest, ::testing::Values(0, 3));

}  // namespace
}  // namespace kor
