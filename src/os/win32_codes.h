// Win32 error codes and constants that the core acts on.  Every OS layer
// reports failures with these codes, whatever the platform underneath, so
// that the error classes, the disk-full handling and the interrupted-call
// repeats behave the same everywhere.
#ifndef KORBR_OS_WIN32_CODES_H_
#define KORBR_OS_WIN32_CODES_H_

#include <cstdint>

namespace kor {

// A tape request on a handle that is no drive.
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorBadEnvironment = 10;
constexpr uint32_t kErrorWriteProtect = 19;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorSeek = 25;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorHandleDiskFull = 39;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorBusy = 170;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorBadFileType = 222;
constexpr uint32_t kErrorFileTooLarge = 223;
// A tape record longer than the reader's buffer.
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorArithmeticOverflow = 534;
constexpr uint32_t kErrorStoppedOnSymlink = 681;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoIncomplete = 996;
constexpr uint32_t kErrorFileInvalid = 1006;
constexpr uint32_t kErrorEndOfMedia = 1100;
constexpr uint32_t kErrorFilemarkDetected = 1101;
constexpr uint32_t kErrorNoDataDetected = 1104;
constexpr uint32_t kErrorNoMediaInDrive = 1112;
constexpr uint32_t kErrorIoDevice = 1117;

// Application-defined codes carry bit 29 in Win32; the POSIX layer uses it
// for an errno that has no Win32 counterpart (code = bit 29 | errno).
constexpr uint32_t kCustomerCodeBit = 0x20000000u;

// CreateFile arguments.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kShareNone = 0;
constexpr uint32_t kShareReadWrite = 3;
constexpr uint32_t kCreateAlways = 2;
constexpr uint32_t kOpenExisting = 3;

// GetFileAttributes.
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeNormal = 0x80;

}  // namespace kor

#endif  // KORBR_OS_WIN32_CODES_H_
