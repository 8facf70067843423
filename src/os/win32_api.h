// <windows.h> for the Windows OS layer and its test, lean, and without the
// A/W-selecting macros whose names are also names of OsLayer methods
// (GetCurrentDirectory, GetFileAttributes, GetDiskFreeSpace): left defined,
// they would rename those methods in every file that sees both headers.
// Call the "A" functions by their full names instead.
#ifndef KORBR_OS_WIN32_API_H_
#define KORBR_OS_WIN32_API_H_

#if !defined(_WIN32)
#error "win32_api.h is for Windows builds only"
#endif

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef GetCurrentDirectory
#undef GetFileAttributes
#undef GetDiskFreeSpace

#endif  // KORBR_OS_WIN32_API_H_
