// The OS layer on Windows: the real Win32 calls, one for each method
// (win32/win32_layer.h).  The calls on names, the clock, the environment
// and the trace output are answered here; those on handles are in
// win32/win32_files.cc and win32/win32_tape.cc.
#include <cstdio>
#include <string>

#include "os/os_layer.h"
#include "os/path_rules.h"
#include "os/win32/win32_layer.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, and lines cut
// at 200 characters (the low byte), as the error texts handed to the host
// have always been made.
constexpr DWORD kSystemTextFlags = 0x11C8;
// The user's default language.
constexpr DWORD kUserDefaultLanguage = 0x400;
// Room for the current directory, terminator included.
constexpr DWORD kCurrentDirectorySize = 512;

// The system's text for `code` as FormatMessageA gives it with `flags`,
// trailing line breaks and blanks removed; empty when there is none.
std::string FormatSystemText(DWORD flags, uint32_t code) {
  char *text = nullptr;
  const DWORD length =
      ::FormatMessageA(flags, nullptr, code, kUserDefaultLanguage,
                       reinterpret_cast<char *>(&text), 0, nullptr);
  std::string result;
  if (length != 0 && text != nullptr) result.assign(text, length);
  if (text != nullptr) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\r' || result.back() == '\n' ||
                             result.back() == ' ')) {
    result.pop_back();
  }
  return result;
}

}  // namespace

uint32_t Win32Os::GetFileAttributes(const std::string &name) {
  if (IsObjectStoreName(name)) return kInvalidFileAttributes;
  return ::GetFileAttributesA(name.c_str());
}

bool Win32Os::GetDiskFreeSpace(const std::string &directory,
                               uint64_t *free_bytes, uint32_t *error) {
  *error = 0;
  // A store has no free space to wait for; the open of its object is what
  // refuses it (kErrorNotSupported), naming the volume.
  if (IsObjectStoreName(directory)) {
    *free_bytes = UINT64_MAX;
    return true;
  }
  ULARGE_INTEGER available, total, total_free;
  if (!::GetDiskFreeSpaceExA(directory.c_str(), &available, &total,
                             &total_free)) {
    *error = ::GetLastError();
    return false;
  }
  // The bytes available to the caller: they honour disk quotas.
  *free_bytes = available.QuadPart;
  return true;
}

bool Win32Os::GetCurrentDirectory(std::string *directory) {
  char buffer[kCurrentDirectorySize];
  // The length without terminator when the name fits; the size needed,
  // terminator included, when it does not; 0 on failure.
  const DWORD length = ::GetCurrentDirectoryA(kCurrentDirectorySize, buffer);
  if (length == 0 || length >= kCurrentDirectorySize) return false;
  directory->assign(buffer, length);
  return true;
}

std::string Win32Os::SystemErrorText(uint32_t code) {
  std::string text = FormatSystemText(kSystemTextFlags, code);
  // A message with inserts ("Insert %2 into drive %1") cannot be formatted
  // without arguments, and none are passed; its text is still better than
  // a number, so ask again for it with the inserts left as they are.
  if (text.empty()) {
    text = FormatSystemText(kSystemTextFlags | FORMAT_MESSAGE_IGNORE_INSERTS,
                            code);
  }
  if (text.empty()) text = "Win32 error " + std::to_string(code);
  return text;
}

void Win32Os::Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

uint32_t Win32Os::TickCount() { return ::GetTickCount(); }

bool Win32Os::GetProcessTimes(ProcessTimes *times) {
  FILETIME creation, exit, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel,
                         &user)) {
    return false;
  }
  auto count = [](const FILETIME &time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) |
           time.dwLowDateTime;
  };
  times->creation = count(creation);
  times->exit = count(exit);
  times->kernel = count(kernel);
  times->user = count(user);
  return true;
}

bool Win32Os::GetEnv(const std::string &name, std::string *value) {
  // A variable set to the empty text exists and gives 0 like a missing
  // one; only the error code tells them apart.
  std::string text(256, '\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableA(
        name.c_str(), &text[0], static_cast<DWORD>(text.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
      value->clear();
      return true;
    }
    if (length < text.size()) {
      text.resize(length);
      *value = text;
      return true;
    }
    // Too small: `length` is the room needed, terminator included.  The
    // value may grow between the two calls, hence the loop.
    text.assign(length, '\0');
  }
}

void Win32Os::WriteTraceLine(const std::string &line) {
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(nullptr);
}

OsLayer &PlatformOs() {
  static Win32Os os;
  return os;
}

}  // namespace kor
