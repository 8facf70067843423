// What a stripe that has not come back from the library is waiting for.
//
// The library waits inside kor_open, kor_write and kor_read without saying
// why: for free disk space (checking every ten seconds), for a tape drive
// to become ready, for an operator to mount a volume.  korbr finds the
// cause itself, from what an operator could see: the free space of the
// volume's file system against the stripe's reqfreekb, whether the tape
// drive exists under KOR_DEVICE_DIR or /dev, what a virtual drive has
// loaded, and the last operator message the library sent for the stripe.
// Each function returns one line that says what is waited for, where, and
// how to end the wait; "" when it finds no cause.
#ifndef KORBR_CLI_WAIT_DIAGNOSIS_H_
#define KORBR_CLI_WAIT_DIAGNOSIS_H_

#include <cstdint>
#include <string>

namespace kor {
namespace cli {

// A disk stripe writing volumes of prefix `devname`: free space of their
// file system against more than `required_kb` KB, naming the volume file
// being written.
std::string DiagnoseDiskWait(const std::string &devname,
                             uint64_t required_kb);

// A tape stripe on drive `devname` ("\\.\NAME") resolved in `device_dir`.
// `wanted_volume` is the volume the library last asked for (9234), 0 when
// none; `writing` tells a backup.
std::string DiagnoseTapeWait(const std::string &devname,
                             const std::string &device_dir,
                             uint32_t wanted_volume, bool writing);

// Where tape names are looked up, as the library does: KOR_DEVICE_DIR, or
// /dev.
std::string TapeDeviceDirectory();

// True when the stripe's device is a tape name that names nothing in the
// device directory (not even as its Linux st name): most likely mistyped.
bool TapeDriveAbsent(const std::string &devstring);

// The whole diagnosis for a stripe's device string.
std::string DiagnoseWait(const std::string &devstring, uint32_t wanted_volume,
                         bool writing);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_WAIT_DIAGNOSIS_H_
