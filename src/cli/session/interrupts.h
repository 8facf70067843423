// Ctrl-C: SIGINT and SIGTERM set the process's one signal flag, which the
// commands poll and the cancelled callback reports to the library.
//
// Contract: InstallInterruptHandlers() is called once, before any worker
// thread starts.  The first signal only counts; a second one ends the
// process at once (exit 1), removing the partial output file registered
// with SetPartialOutputPath() and saying so on standard error.  The
// handler is installed without SA_RESTART so that a read blocked on the
// data stream returns EINTR in the thread that takes the signal.
#ifndef KORBR_CLI_SESSION_INTERRUPTS_H_
#define KORBR_CLI_SESSION_INTERRUPTS_H_

#include <string>
#include <vector>

namespace kor {
namespace cli {

void InstallInterruptHandlers();
// True once SIGINT or SIGTERM has arrived.
bool Interrupted();

// What a run polls to learn whether the operator interrupted it.  The run
// is handed one by whoever builds it (the command, from its session), so
// no run reaches the signal flag by itself.
class InterruptSource {
 public:
  virtual ~InterruptSource() = default;
  virtual bool Interrupted() const = 0;
};

// The process's signal flag as a source: Interrupted() above.
const InterruptSource &SignalInterrupts();
// A partial output file to remove should a second signal end the process.
// A path longer than the handler's fixed buffer is not registered.
void SetPartialOutputPath(const std::string &path);
void ClearPartialOutputPath();
// The volume files of up to 32 prefixes to remove should a second signal
// end the process (PREFIX.1, PREFIX.2, ... up to the first missing one):
// a backup's own volumes, which cannot become a set once it is ended.
// A longer prefix is not registered.
void SetPartialVolumePrefixes(const std::vector<std::string> &prefixes);
void ClearPartialVolumePrefixes();
// Holds SIGINT and SIGTERM back in the calling thread while it does what
// must not be cut in the middle (the other threads block them already);
// a signal that arrived meanwhile is taken when they are let through.
void HoldInterruptsInThisThread();
void LetInterruptsThroughInThisThread();
// For worker threads: leave SIGINT and SIGTERM to the main thread, and
// name the thread (at most 15 bytes) as profilers and debuggers show it.
void BlockInterruptsInThisThread(const std::string &name);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_INTERRUPTS_H_
