// The Windows layer's calls on an open handle: opening a file or a drive,
// transfers, flushes, the name check, the size and the close.
#include <string>

#include "os/path_rules.h"
#include "os/win32/win32_layer.h"
#include "os/win32_codes.h"

namespace kor {

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
  if (!UsableHandle(handle, error)) return false;
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
  if (!UsableHandle(handle, error)) return false;
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
  if (!UsableHandle(handle, error)) return false;
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
  if (!UsableHandle(handle, error)) return false;
  if (::FlushFileBuffers(ToHandle(handle))) return true;
  *error = ::GetLastError();
  return false;
}

bool Win32Os::CheckFileNamed(OsHandle handle, uint32_t *error) {
  if (!UsableHandle(handle, error)) return false;
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
  if (!UsableHandle(handle, error)) return false;
  if (::CloseHandle(ToHandle(handle))) return true;
  *error = ::GetLastError();
  return false;
}

bool Win32Os::GetFileSize(OsHandle handle, uint64_t *size, uint32_t *error) {
  if (!UsableHandle(handle, error)) return false;
  LARGE_INTEGER bytes;
  if (!::GetFileSizeEx(ToHandle(handle), &bytes)) {
    *error = ::GetLastError();
    return false;
  }
  *size = static_cast<uint64_t>(bytes.QuadPart);
  return true;
}

}  // namespace kor
