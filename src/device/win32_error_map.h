// Win32 error codes to the error classes the data path acts on, kept per
// thread: 16 interrupted (repeat), 12 disk full, 4 invalid handle; every
// other class only means "failed".
#ifndef KORBR_DEVICE_WIN32_ERROR_MAP_H_
#define KORBR_DEVICE_WIN32_ERROR_MAP_H_

#include <cstdint>

namespace kor {

constexpr int32_t kClassInvalidHandle = 4;
constexpr int32_t kClassDiskFull = 12;
constexpr int32_t kClassInterrupted = 16;
constexpr int32_t kClassDefault = 38;

// The class of a code, without side effects.
int32_t ErrorClassOf(uint32_t code);

// Sets the calling thread's error class from `code` and returns -1, so a
// failing primitive can end with "return MapWin32Error(code);".
int32_t MapWin32Error(uint32_t code);

// The calling thread's error class (0 before any mapping).
int32_t ThreadErrorClass();

}  // namespace kor

#endif  // KORBR_DEVICE_WIN32_ERROR_MAP_H_
