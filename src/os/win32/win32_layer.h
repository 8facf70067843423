// The Windows OS layer's one class, whose methods are defined by concern:
// handles on files and drives (win32_files.cc), the tape calls
// (win32_tape.cc), and the calls on names, the clock, the environment and
// the trace output (win32_os.cc, which also makes the process's one layer).
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
#ifndef KORBR_OS_WIN32_WIN32_LAYER_H_
#define KORBR_OS_WIN32_WIN32_LAYER_H_

#include <string>

#include "os/os_layer.h"
#include "os/win32_api.h"
#include "os/win32_codes.h"

namespace kor {

inline HANDLE ToHandle(OsHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

inline OsHandle FromHandle(HANDLE handle) {
  return reinterpret_cast<OsHandle>(handle);
}

// Whether a call may pass `handle` to the system: *error is 0, or the
// invalid-handle code for -1 (kInvalidOsHandle), which never reaches it.
inline bool UsableHandle(OsHandle handle, uint32_t *error) {
  *error = handle == kInvalidOsHandle ? kErrorInvalidHandle : 0;
  return *error == 0;
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

}  // namespace kor

#endif  // KORBR_OS_WIN32_WIN32_LAYER_H_
