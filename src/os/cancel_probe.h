// How the OS layer asks whether the host has given up, without knowing the
// host: the layers above install a probe, and OS code that waits on its own
// (between retries of a network request) polls it.
//
// The probe is process-wide and is called only on the thread of a library
// call (a stripe's thread), never on a thread the library started, so a
// host's callback never runs where the host does not expect it.
#ifndef KORBR_OS_CANCEL_PROBE_H_
#define KORBR_OS_CANCEL_PROBE_H_

namespace kor {

using CancelProbe = bool (*)();

// Installs `probe` (nullptr: nothing ever counts as cancelled) and gives
// the one it replaces.
CancelProbe SetCancelProbe(CancelProbe probe);

// The installed probe's answer; false when none is installed.
bool CancelRequested();

}  // namespace kor

#endif  // KORBR_OS_CANCEL_PROBE_H_
