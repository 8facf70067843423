// The POSIX OS layer's one errno translation, exposed for its test and for
// the POSIX tape backends that report through the same codes.
#ifndef KORBR_OS_POSIX_OS_H_
#define KORBR_OS_POSIX_OS_H_

#include <cstdint>

namespace kor {

// The Win32 code with the same meaning as `err` (ENOSPC 112, EINTR 995,
// ENOENT 2, ...), or kCustomerCodeBit | err when Win32 has none.  Records
// `err` for the calling thread, so that SystemErrorText of the code gives
// the system's text of this very errno (EDQUOT and ENOSPC share 112).
uint32_t Win32ErrorFromErrno(int err);

}  // namespace kor

#endif  // KORBR_OS_POSIX_OS_H_
