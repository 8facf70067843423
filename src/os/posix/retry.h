// Repeating a POSIX call that a signal interrupted, for every POSIX part of
// the OS layer (files, tape drives, virtual drives).
#ifndef KORBR_OS_POSIX_RETRY_H_
#define KORBR_OS_POSIX_RETRY_H_

#include <errno.h>

namespace kor {

// Calls `call` until it gives anything but -1 with errno EINTR, and gives
// that.  Not for close() (Linux releases the descriptor even when close is
// interrupted, so a second close could hit another thread's file) nor for
// nanosleep() (which resumes with the time left instead).
template <typename Call>
auto RetryOnInterrupt(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace kor

#endif  // KORBR_OS_POSIX_RETRY_H_
