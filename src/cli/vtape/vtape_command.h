// vtape/: the only part of korbr linked with the library's internals.
//
// `korbr vtape`: managing virtual tape drives from a shell, as an operator
// manages a drive and its cartridges.
//
//   korbr vtape create DRIVE --cartridges N --capacity SIZE [--stacker]
//                            [--min-block B] [--max-block B]
//   korbr vtape status DRIVE
//   korbr vtape load DRIVE N
//   korbr vtape unload DRIVE
//   korbr vtape protect DRIVE N on|off
//   korbr vtape dump DRIVE N
//
// DRIVE is the drive's directory, or a tape name "\\.\NAME" as a device
// string gives it (looked up in KOR_DEVICE_DIR, else /dev).  SIZE and B
// are byte counts with an optional K, M or G suffix (powers of 1024).
// Every subcommand takes --help.  Errors are one line on standard error.
#ifndef KORBR_CLI_VTAPE_COMMAND_H_
#define KORBR_CLI_VTAPE_COMMAND_H_

#include <ostream>

namespace kor {

// argv[0] is "vtape".  Returns the process exit code: 0 done, 1 failed,
// 2 wrong usage.  Output goes to `out`, errors to `err`.
int RunVtapeCommand(int argc, char **argv, std::ostream &out,
                    std::ostream &err);
// The same on standard output and standard error.
int RunVtapeCommand(int argc, char **argv);

}  // namespace kor

#endif  // KORBR_CLI_VTAPE_COMMAND_H_
