// The POSIX OS layer's one errno translation, exposed for its test and for
// the POSIX tape backends that report through the same codes; and the mode
// every file holding backup data is given (os/file_mode.h).
#ifndef KORBR_OS_POSIX_OS_H_
#define KORBR_OS_POSIX_OS_H_

#include <cstdint>

namespace kor {

// The Win32 code with the same meaning as `err` (ENOSPC 112, EINTR 995,
// ENOENT 2, ...), or kCustomerCodeBit | err when Win32 has none.  Records
// `err` for the calling thread, so that SystemErrorText of the code gives
// the system's text of this very errno (EDQUOT and ENOSPC share 112).
uint32_t Win32ErrorFromErrno(int err);

// The mode for files that hold backup data: KOR_VOLUME_MODE's, or 0600
// when it is not set.  False when it is set to a value the rule refuses.
bool BackupFileMode(uint32_t *mode);

// Gives the open file `fd` exactly `mode`, whatever the umask made of it
// or the mode an existing file had.  A file this process may not chmod
// (another owner's) is accepted as it is when it is no wider than `mode`.
// 0, or the errno that refused it.
int ApplyBackupFileMode(int fd, uint32_t mode);

}  // namespace kor

#endif  // KORBR_OS_POSIX_OS_H_
