// The texts of the Win32 codes the POSIX OS layer reports: the system's own
// words for the errno a code was translated from (Win32ErrorFromErrno,
// posix_os.h), the store's reason for an object failure, and fixed words
// for the tape conditions and volume-open refusals no errno stands for.
#ifndef KORBR_OS_POSIX_SYSTEM_ERRORS_H_
#define KORBR_OS_POSIX_SYSTEM_ERRORS_H_

#include <cstdint>
#include <string>

namespace kor {

// SystemErrorText of the POSIX layer, for a failure of the calling thread.
std::string PosixErrorText(uint32_t code);

}  // namespace kor

#endif  // KORBR_OS_POSIX_SYSTEM_ERRORS_H_
