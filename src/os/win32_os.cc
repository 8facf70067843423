// The OS layer on Windows: the real Win32 calls, one for each method.
//
// Nothing here translates: the codes, handles and tape records the core
// works with are Win32's own, so this layer only converts types (HANDLE to
// OsHandle and back, FILETIME to 64-bit counts, the tape parameter records
// to the fields the core reads) and fetches the system's text for a code.
//
// Handles: a HANDLE travels as its integer value, so INVALID_HANDLE_VALUE
// is -1, which is also kInvalidOsHandle.  -1 is refused before it reaches
// the system: to Windows it is the pseudo handle of the current process,
// which CloseHandle would "close" with success.
#include <cstdio>
#include <string>

#include "os/os_layer.h"
#include "os/path_rules.h"
#include "os/win32_api.h"
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

// Both tape query records are 32 bytes with either word size; the size
// passed to GetTapeParameters is the record's own.
static_assert(sizeof(TAPE_GET_MEDIA_PARAMETERS) == 32, "media record");
static_assert(sizeof(TAPE_GET_DRIVE_PARAMETERS) == 32, "drive record");

HANDLE ToHandle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }

OsHandle FromHandle(HANDLE handle) {
  return reinterpret_cast<OsHandle>(handle);
}

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

class Win32Os final : public OsLayer {
 public:
  OsHandle OpenFile(const std::string &name, uint32_t access, uint32_t share,
                    uint32_t creation, uint32_t *error) override;
  bool ReadFile(OsHandle handle, void *buffer, uint32_t length, uint32_t *done,
                uint32_t *error) override;
  bool WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                 uint32_t *done, uint32_t *error) override;
  bool WriteGather(OsHandle handle, const ByteSlice *slices, int count,
                   uint32_t *done, uint32_t *error) override;
  bool FlushFile(OsHandle handle, uint32_t *error) override;
  bool CheckFileNamed(OsHandle handle, uint32_t *error) override;
  bool FlushDirectory(const std::string &file_name, uint32_t *error) override;
  void StartWriteback(OsHandle, uint64_t, uint64_t) override {
    // The cache manager writes behind on its own.
  }
  void DropFromCache(OsHandle, uint64_t, uint64_t) override {
    // Windows keeps its own cache policy for volume files.
  }
  void ExpectSequentialReads(OsHandle) override {}
  bool CloseHandle(OsHandle handle, uint32_t *error) override;
  bool AbandonFile(OsHandle handle, uint32_t *error) override {
    // A file keeps what was written; only object stores discard.
    return CloseHandle(handle, error);
  }
  uint32_t GetFileAttributes(const std::string &name) override;
  bool GetDiskFreeSpace(const std::string &directory, uint64_t *free_bytes,
                        uint32_t *error) override;
  bool GetCurrentDirectory(std::string *directory) override;
  std::string SystemErrorText(uint32_t code) override;
  PathStyle path_style() const override { return PathStyle::kWindows; }
  bool GetFileSize(OsHandle handle, uint64_t *size, uint32_t *error) override;

  uint32_t GetTapeStatus(OsHandle handle) override;
  bool GetTapeMediaParams(OsHandle handle, TapeMediaParams *params,
                          uint32_t *error) override;
  bool GetTapeDriveParams(OsHandle handle, TapeDriveParams *params,
                          uint32_t *error) override;
  bool SetTapeBlockSize(OsHandle handle, uint32_t block_size,
                        uint32_t *error) override;
  uint32_t WriteTapemarks(OsHandle handle, uint32_t count) override;
  uint32_t UnloadTape(OsHandle handle) override;

  void Sleep(uint32_t milliseconds) override;
  uint32_t TickCount() override;
  bool GetProcessTimes(ProcessTimes *times) override;
  bool GetEnv(const std::string &name, std::string *value) override;
  void WriteTraceLine(const std::string &line) override;
};

OsHandle Win32Os::OpenFile(const std::string &name, uint32_t access,
                           uint32_t share, uint32_t creation, uint32_t *error) {
  *error = 0;
  // This build drives no object store; CreateFileA would take the URL for
  // a file name and fail with a code that says nothing of the kind.
  if (IsObjectStoreName(name)) {
    *error = kErrorNotSupported;
    return kInvalidOsHandle;
  }
  // CREATE_ALWAYS alone would truncate the file at the name, and with it
  // every other hard link to it.  Deleting it first gives the volume a new
  // file; a file that cannot be deleted (in use: a sharing violation, or no
  // right to delete) is left to CreateFileA, which refuses it or truncates
  // it as it always has.  Tape drives are no files to delete.
  if (creation == kCreateAlways && (access & kGenericWrite) != 0 &&
      !IsTapeName(name))
    ::DeleteFileA(name.c_str());
  const HANDLE handle = ::CreateFileA(name.c_str(), access, share, nullptr,
                                      creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = ::GetLastError();
    return kInvalidOsHandle;
  }
  return FromHandle(handle);
}

bool Win32Os::ReadFile(OsHandle handle, void *buffer, uint32_t length,
                       uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  DWORD moved = 0;
  if (!::ReadFile(ToHandle(handle), buffer, length, &moved, nullptr)) {
    *error = ::GetLastError();
    return false;
  }
  *done = moved;
  return true;
}

bool Win32Os::WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                        uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  DWORD moved = 0;
  if (!::WriteFile(ToHandle(handle), buffer, length, &moved, nullptr)) {
    *error = ::GetLastError();
    return false;
  }
  *done = moved;
  return true;
}

bool Win32Os::WriteGather(OsHandle handle, const ByteSlice *slices, int count,
                          uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  // WriteFileGather wants unbuffered, overlapped files and page-sized
  // buffers; on a buffered file the slices are written one after the
  // other, stopping at the first one the system takes only in part.
  uint32_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (slices[i].length == 0) continue;
    DWORD moved = 0;
    if (!::WriteFile(ToHandle(handle), slices[i].data, slices[i].length,
                     &moved, nullptr)) {
      if (total > 0) break;  // a short write; the error comes back next time
      *error = ::GetLastError();
      return false;
    }
    total += moved;
    if (moved < slices[i].length) break;
  }
  *done = total;
  return true;
}

bool Win32Os::FlushFile(OsHandle handle, uint32_t *error) {
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  if (::FlushFileBuffers(ToHandle(handle))) return true;
  *error = ::GetLastError();
  return false;
}

bool Win32Os::CheckFileNamed(OsHandle handle, uint32_t *error) {
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  // A volume is opened without FILE_SHARE_DELETE, so Windows lets nobody
  // delete it while it is written; the link count still says so for a file
  // opened otherwise.
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(ToHandle(handle), &info)) {
    *error = ::GetLastError();
    return false;
  }
  if (info.nNumberOfLinks == 0) {
    *error = kErrorFileInvalid;
    return false;
  }
  return true;
}

bool Win32Os::FlushDirectory(const std::string & /*file_name*/,
                             uint32_t *error) {
  // NTFS and ReFS journal a new directory entry themselves.
  *error = 0;
  return true;
}

bool Win32Os::CloseHandle(OsHandle handle, uint32_t *error) {
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  if (::CloseHandle(ToHandle(handle))) return true;
  *error = ::GetLastError();
  return false;
}

uint32_t Win32Os::GetFileAttributes(const std::string &name) {
  if (IsObjectStoreName(name)) return kInvalidFileAttributes;
  return ::GetFileAttributesA(name.c_str());
}

bool Win32Os::GetFileSize(OsHandle handle, uint64_t *size, uint32_t *error) {
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  LARGE_INTEGER bytes;
  if (!::GetFileSizeEx(ToHandle(handle), &bytes)) {
    *error = ::GetLastError();
    return false;
  }
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
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

uint32_t Win32Os::GetTapeStatus(OsHandle handle) {
  if (handle == kInvalidOsHandle) return kErrorInvalidHandle;
  return ::GetTapeStatus(ToHandle(handle));
}

bool Win32Os::GetTapeMediaParams(OsHandle handle, TapeMediaParams *params,
                                 uint32_t *error) {
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  TAPE_GET_MEDIA_PARAMETERS media = {};
  // In: the room given; out: the bytes filled.
  DWORD size = sizeof media;
  const DWORD code = ::GetTapeParameters(
      ToHandle(handle), GET_TAPE_MEDIA_INFORMATION, &size, &media);
  if (code != NO_ERROR) {
    *error = code;
    return false;
  }
  params->capacity = media.Capacity.QuadPart;
  params->remaining = media.Remaining.QuadPart;
  params->block_size = media.BlockSize;
  params->partition_count = media.PartitionCount;
  params->write_protected = media.WriteProtected != FALSE;
  return true;
}

bool Win32Os::GetTapeDriveParams(OsHandle handle, TapeDriveParams *params,
                                 uint32_t *error) {
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  TAPE_GET_DRIVE_PARAMETERS drive = {};
  DWORD size = sizeof drive;
  const DWORD code = ::GetTapeParameters(
      ToHandle(handle), GET_TAPE_DRIVE_INFORMATION, &size, &drive);
  if (code != NO_ERROR) {
    *error = code;
    return false;
  }
  params->ecc = drive.ECC != FALSE;
  params->compression = drive.Compression != FALSE;
  params->data_padding = drive.DataPadding != FALSE;
  params->report_setmarks = drive.ReportSetmarks != FALSE;
  params->default_block_size = drive.DefaultBlockSize;
  params->maximum_block_size = drive.MaximumBlockSize;
  params->minimum_block_size = drive.MinimumBlockSize;
  params->maximum_partition_count = drive.MaximumPartitionCount;
  params->features_low = drive.FeaturesLow;
  params->features_high = drive.FeaturesHigh;
  return true;
}

bool Win32Os::SetTapeBlockSize(OsHandle handle, uint32_t block_size,
                               uint32_t *error) {
  *error = 0;
  if (handle == kInvalidOsHandle) {
    *error = kErrorInvalidHandle;
    return false;
  }
  TAPE_SET_MEDIA_PARAMETERS media = {};
  media.BlockSize = block_size;
  const DWORD code =
      ::SetTapeParameters(ToHandle(handle), SET_TAPE_MEDIA_INFORMATION, &media);
  if (code != NO_ERROR) {
    *error = code;
    return false;
  }
  return true;
}

uint32_t Win32Os::WriteTapemarks(OsHandle handle, uint32_t count) {
  if (handle == kInvalidOsHandle) return kErrorInvalidHandle;
  return ::WriteTapemark(ToHandle(handle), TAPE_FILEMARKS, count, FALSE);
}

uint32_t Win32Os::UnloadTape(OsHandle handle) {
  if (handle == kInvalidOsHandle) return kErrorInvalidHandle;
  return ::PrepareTape(ToHandle(handle), TAPE_UNLOAD, FALSE);
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

}  // namespace

OsLayer &PlatformOs() {
  static Win32Os os;
  return os;
}

}  // namespace kor
