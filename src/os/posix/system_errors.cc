// Errno translation and system texts of the POSIX OS layer
// (system_errors.h, and Win32ErrorFromErrno of posix_os.h).
#include "os/posix/system_errors.h"

#include <errno.h>

#include <climits>
#include <cstring>

#include "os/file_mode.h"
#include "os/objstore/object_files.h"
#include "os/posix_os.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

struct ErrnoCode {
  int err;
  uint32_t code;
};

// errno values and the Win32 codes of the same meaning.  Several errno
// values share a code; the first entry of a code is where the last errno
// translated to it is remembered.
constexpr ErrnoCode kErrnoCodes[] = {
    {ENOSPC, kErrorDiskFull},
#ifdef EDQUOT
    {EDQUOT, kErrorDiskFull},
#endif
    {EINTR, kErrorOperationAborted},
    {EBADF, kErrorInvalidHandle},
    {ENOENT, kErrorFileNotFound},
    {ENOTDIR, kErrorPathNotFound},
    {EACCES, kErrorAccessDenied},
    {EPERM, kErrorAccessDenied},
    {EISDIR, kErrorAccessDenied},
    {EROFS, kErrorWriteProtect},
    {EEXIST, kErrorFileExists},
    {EBUSY, kErrorBusy},
    {EAGAIN, kErrorSharingViolation},
    {EWOULDBLOCK, kErrorSharingViolation},
    {ENAMETOOLONG, kErrorFilenameTooLong},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {ENOMEM, kErrorNotEnoughMemory},
    {EINVAL, kErrorInvalidParameter},
    {EIO, kErrorIoDevice},
    {EFBIG, kErrorFileTooLarge},
    // A size, offset or count that the caller's types cannot hold: what
    // ERROR_ARITHMETIC_OVERFLOW says ("exceeded 32 bits").  Not 223, which
    // is a file that may not grow (EFBIG); EOVERFLOW also comes from free
    // space counts and inode numbers.
    {EOVERFLOW, kErrorArithmeticOverflow},
#ifdef ENOMEDIUM
    {ENOMEDIUM, kErrorNoMediaInDrive},
#endif
    {ESPIPE, kErrorSeek},
    {EPIPE, kErrorBrokenPipe},
    {ENXIO, kErrorNotReady},
};
constexpr size_t kErrnoCodeCount = sizeof kErrnoCodes / sizeof kErrnoCodes[0];

// Per thread, because a code is turned into text by the thread whose call
// failed, right after the failure.  0 = nothing translated yet.
thread_local int t_last_errno[kErrnoCodeCount] = {};

// Index of the first table entry for `code`, or kErrnoCodeCount.
size_t FirstEntryOf(uint32_t code) {
  for (size_t i = 0; i < kErrnoCodeCount; ++i) {
    if (kErrnoCodes[i].code == code) return i;
  }
  return kErrnoCodeCount;
}

// strerror_r comes in two kinds: GNU returns the text (which may not be in
// the buffer), XSI returns 0 and fills the buffer.  Overloading on the
// result type picks the right reading for whichever the library declares.
[[maybe_unused]] inline const char *StrerrorResult(const char *text,
                                                   const char * /*buffer*/) {
  return text;
}
[[maybe_unused]] inline const char *StrerrorResult(int result,
                                                   const char *buffer) {
  return result == 0 ? buffer : nullptr;
}

// ERROR_UNEXP_NET_ERR and ERROR_CANCELLED, given by object stores.
constexpr uint32_t kErrorUnexpectedNetwork = 59;
constexpr uint32_t kErrorCancelled = 1223;

// Texts for the codes that no errno stands for: tape conditions, and the
// refusals of a volume open.
struct CodeText {
  uint32_t code;
  const char *text;
};
constexpr CodeText kTapeCodeTexts[] = {
    {kErrorEndOfMedia, "End of the tape media reached"},
    {kErrorFilemarkDetected, "A file mark was reached on the tape"},
    {kErrorNoDataDetected, "No more data is recorded on the tape"},
    {kErrorNoMediaInDrive, "No cartridge in the tape drive"},
    {kErrorMoreData, "The tape record is longer than the buffer"},
    {kErrorInvalidFunction, "Not a tape drive"},
    // No errno means "end of file"; a read past a volume's data says so
    // in words rather than as a Windows number.
    {kErrorHandleEof, "End of file"},
    {kErrorStoppedOnSymlink,
     "The name is a symbolic link, which a backup never writes through"},
    {kErrorBadFileType,
     "Not a regular file (a pipe, socket or device cannot be a disk volume)"},
    {kErrorBadEnvironment, kFileModeRule},
    {kErrorFileInvalid,
     "The file was removed while it was being written: it has no name left"},
    {kErrorInvalidName,
     "Not a tape drive name: one name in the device directory, without '/', "
     "'\\' or \"..\""},
    {kErrorNotSupported, "This build cannot drive the device"},
    {kErrorUnexpectedNetwork, "An unexpected network error occurred"},
    {kErrorCancelled, "The operation was cancelled"},
};

std::string ErrnoText(int err) {
  char buffer[256];
  buffer[0] = '\0';
  const char *text =
      StrerrorResult(strerror_r(err, buffer, sizeof buffer), buffer);
  if (text == nullptr || text[0] == '\0') {
    return "errno " + std::to_string(err);
  }
  return text;
}

}  // namespace

std::string PosixErrorText(uint32_t code) {
  std::string object_reason;
  if (ObjectFailureText(code, &object_reason)) return object_reason;
  if ((code & kCustomerCodeBit) != 0) {
    const uint32_t low = code & ~kCustomerCodeBit;
    if (low <= static_cast<uint32_t>(INT_MAX)) {
      return ErrnoText(static_cast<int>(low));
    }
  }
  const size_t entry = FirstEntryOf(code);
  if (entry == kErrnoCodeCount) {
    for (const CodeText &known : kTapeCodeTexts) {
      if (known.code == code) return known.text;
    }
    return "Win32 error " + std::to_string(code);
  }
  const int err =
      t_last_errno[entry] != 0 ? t_last_errno[entry] : kErrnoCodes[entry].err;
  return ErrnoText(err);
}

uint32_t Win32ErrorFromErrno(int err) {
  // This failure, not an earlier one of an object, is the thread's last.
  ForgetObjectFailure();
  for (size_t i = 0; i < kErrnoCodeCount; ++i) {
    if (kErrnoCodes[i].err == err) {
      t_last_errno[FirstEntryOf(kErrnoCodes[i].code)] = err;
      return kErrnoCodes[i].code;
    }
  }
  return kCustomerCodeBit | static_cast<uint32_t>(err);
}

}  // namespace kor
