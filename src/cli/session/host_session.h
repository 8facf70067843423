// session/: talking to the library, for the commands that drive it.
//
// HostSession is what every korbr command that drives the library shares,
// and the owner that wires its parts together, each in its own file:
//   library_callbacks.h  the three C callbacks and their one target
//   trace_routing.h      the library's trace log and the data descriptor
//   stripe_devices.h     the open parameters (devices, database name)
//   console.h            error lines, notes, the progress line, prompts
//   interrupts.h         Ctrl-C (the process's one signal flag)
//   wait_watch.h         library calls that wait, announced and timed out
// What is left here is the operator dialogue: what each information
// message from the library becomes.
//
// The library is reached only through the nine functions of korbr/korbr.h.
//
// Operator dialogue.  9234 (mount a volume): with a terminal on standard
// input that does not carry the data, the operator is prompted and korbr
// waits for Enter; otherwise a line says what is needed (also with
// --quiet: it asks for action) and the library goes on retrying until the
// drive is ready.  On disk a 9234 means a volume file out of order, which
// nobody can replace: the restore is given up and the stripe's error names
// the file, with no note of the request (nor of the 6920 before it)
// first.  9235, 9236, 9237 and 6920 arrive as notes on standard error
// unless --quiet.
//
// The wait timeout (--wait-timeout) is by default none when an operator
// sits at a terminal, else one hour (a minute for a tape drive that exists
// nowhere, wait_watch.h).
#ifndef KORBR_CLI_HOST_SESSION_H_
#define KORBR_CLI_HOST_SESSION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "cli/session/console.h"
#include "cli/session/interrupts.h"
#include "cli/session/library_callbacks.h"
#include "cli/session/stripe_devices.h"
#include "cli/session/wait_watch.h"
#include "korbr/korbr.h"

namespace kor {
namespace cli {

struct SessionOptions {
  std::string command;           // "backup", "restore", "verify"
  bool quiet = false;            // no notes, no progress line
  bool trace = false;            // the library's trace log is wanted
  int trace_mask = -1;           // --trace=MASK; -1: KORDBG or the default
  std::string trace_file;        // "" for none
  int64_t wait_timeout_seconds = -1;  // -1: the default (see above)
  bool data_to_stdout = false;   // the data stream goes to standard output
  bool data_from_stdin = false;  // the data stream comes from standard input
  uint32_t file_mode = 0600;     // of a trace file korbr creates
  std::vector<std::string> devices;  // the stripes' device strings
  bool progress = false;         // --progress: the line also off a terminal
  std::string json_file;         // --json FILE: the run's report, or ""
  bool encrypted = false;  // holds a data key, private key or passphrase
};

class HostSession : public LibraryListener {
 public:
  HostSession();
  // A session whose runs poll `interrupts` (which must outlive it) rather
  // than the signal flag.
  explicit HostSession(const InterruptSource &interrupts);
  ~HostSession();
  HostSession(const HostSession &) = delete;
  HostSession &operator=(const HostSession &) = delete;

  // Call before any library call.  Makes the process non-dumpable when it
  // holds a secret (secret_guard.h).  False with a reason when that, the
  // trace file or the standard output cannot be set up.
  bool Start(const SessionOptions &options, std::string *error);

  // The stripes' device strings and the database name, for OpenParams.
  // May be called again (a restore learns the stripe count from stripe 0).
  void SetDevices(const std::vector<std::string> &devices,
                  const std::string &dbname);
  const OpenParams *params() const { return devices_.params(); }
  // Where the data goes when it goes to standard output.
  int data_fd() const { return data_fd_; }

  // Ctrl-C, for the commands (interrupts.h): the source their runs poll.
  const InterruptSource &interrupts() const { return *interrupts_; }
  static void SetPartialOutputPath(const std::string &path) {
    cli::SetPartialOutputPath(path);
  }
  static void ClearPartialOutputPath() { cli::ClearPartialOutputPath(); }
  static void BlockInterruptsInThisThread(const std::string &name) {
    cli::BlockInterruptsInThisThread(name);
  }

  // "korbr: COMMAND: LINE" on standard error, always.
  void Error(const std::string &line) { console_.Error(line); }
  // "korbr: LINE" on standard error unless quiet.
  void Note(const std::string &line) { console_.Note(line); }
  // "korbr: COMMAND: warning: LINE" on standard error, always.
  void Warn(const std::string &line) { console_.Announce("warning: " + line); }

  // The progress line (console.h).  AddBytes may be called from any thread.
  void StartProgress(uint32_t stripes);
  void AddBytes(uint64_t bytes) { console_.AddBytes(bytes); }
  void StopProgress() { console_.StopProgress(); }
  // What the data stream will amount to, for the percentage and the time
  // left; `estimated` when only roughly.
  void SetExpectedTotal(uint64_t total, bool estimated) {
    console_.SetTotal(total, estimated);
  }
  // Bytes of the data stream counted by AddBytes so far.
  uint64_t data_bytes() const { return console_.bytes_done(); }
  // A library request of `stripe` that moved `bytes` (the Watched calls:
  // the stripe's position in its request stream).
  void AddStripeBytes(uint32_t stripe, int32_t bytes) {
    if (bytes > 0) console_.AddStripeBytes(stripe, static_cast<uint64_t>(bytes));
  }
  // The run's end: the closing line when `ok` (unless quiet), and the
  // --json report whatever happened, with the first error of a failed
  // run.  False when the report could not be written (said on the
  // console).
  bool Finish(bool ok);
  // Counts each stripe's volumes from its files now, for the closing line:
  // before a replacement renames its staged volumes away.
  void CountVolumes();

  // LibraryListener: the info callback's work, and whether korbr itself
  // gave the run up.
  void OnInfo(int32_t number, const KorMessageArg *args) override;
  bool GaveUp() const override { return watch_.GaveUp(); }

  // Marks a library call of `stripe` (for the wait watch).
  void BeginCall(uint32_t stripe) { watch_.BeginCall(stripe); }
  void EndCall(uint32_t stripe) { watch_.EndCall(stripe); }
  // The error line for a stripe whose library call failed with
  // `library_text`: the cause korbr found when it gave a wait up, or the
  // library's text.
  // A tape write that met the end of the cartridge also says what
  // capacity= to set (tape_capacity.h); an object store's refused TLS
  // certificate, AWS_CA_BUNDLE (store_advice.h).
  std::string ExplainFailure(uint32_t stripe,
                             const std::string &library_text) const;

  // Before SetDevices: gives each tape stripe on a virtual drive without
  // capacity= one that fits its cartridges, saying so in a note.
  void SupplyTapeCapacities(std::vector<std::string> *devices);

 private:
  void OnMountRequest(const std::string &text, const KorMessageArg *args);
  void GiveUpOutOfOrderDisk(int stripe, const char *device,
                            const char *volume);
  void OnVolumeStarted(const std::string &text, const KorMessageArg *args);
  void OnSmallCapacity(const std::string &text, const KorMessageArg *args);
  void OnVolumeError(const std::string &text, const KorMessageArg *args);
  std::string ProbeVolume(size_t stripe, uint64_t at) const;

  const InterruptSource *interrupts_ = &SignalInterrupts();
  SessionOptions options_;
  bool trace_on_ = false;  // the library's trace is wanted
  bool capacity_supplied_ = false;  // korbr chose a stripe's capacity=
  int data_fd_ = -1;
  // Declared in the order they depend on one another: the watch announces
  // on the console and reads the devices, so it stops first.
  Console console_;
  StripeDevices devices_;
  WaitWatch watch_{&console_, &devices_};
};

// Marks one library call of a stripe for the wait watch.
class CallWatch {
 public:
  CallWatch(HostSession *session, uint32_t stripe)
      : session_(session), stripe_(stripe) {
    session_->BeginCall(stripe_);
  }
  ~CallWatch() { session_->EndCall(stripe_); }
  CallWatch(const CallWatch &) = delete;
  CallWatch &operator=(const CallWatch &) = delete;

 private:
  HostSession *session_;
  uint32_t stripe_;
};

// The library's calls of a stripe thread, each marked for the wait watch.
inline void *WatchedOpen(HostSession *session, uint32_t stripe,
                         const OpenParams *params, int32_t mode,
                         MessageBuffer *msg) {
  CallWatch watch(session, stripe);
  return kor_open(static_cast<int32_t>(stripe), params, mode, msg);
}
inline int32_t WatchedWrite(HostSession *session, uint32_t stripe, void *handle,
                            const void *data, int32_t length,
                            MessageBuffer *msg) {
  CallWatch watch(session, stripe);
  const int32_t rc = kor_write(handle, data, length, msg);
  if (rc == 0) session->AddStripeBytes(stripe, length);
  return rc;
}
inline int32_t WatchedRead(HostSession *session, uint32_t stripe, void *handle,
                           void *data, int32_t length, MessageBuffer *msg) {
  CallWatch watch(session, stripe);
  const int32_t rc = kor_read(handle, data, length, msg);
  if (rc == 0) session->AddStripeBytes(stripe, length);
  return rc;
}
inline int32_t WatchedClose(HostSession *session, uint32_t stripe, void *handle,
                            int32_t mode, MessageBuffer *msg) {
  CallWatch watch(session, stripe);
  return kor_close(handle, mode, msg);
}

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_HOST_SESSION_H_
