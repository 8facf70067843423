// A scripted OS layer for tests: an in-memory file system and tape drives,
// a virtual clock, a scripted environment, captured trace output, a record
// of every call, and fault injection.
//
// Fault injection follows one rule: a Fault names a call kind, the
// occurrence of that kind (counted from 1 over the whole run) at which it
// starts, and how many consecutive occurrences it hits.  A hit either fails
// the call with `error` (which may be 0) or, for reads and writes, lets it
// succeed with only `transfer` bytes moved.  Examples:
//   fake.Inject({OsCall::kWriteFile, 3, 1, kErrorDiskFull});    // 3rd write
//   fake.Inject({OsCall::kCloseHandle, 1, 2, 995});             // two closes
//   Fault f{OsCall::kWriteFile, 2}; f.transfer = 100; fake.Inject(f);
// Sleeping advances the virtual clock and never blocks; on_sleep lets a
// test change the world as time passes (free space coming back, a
// cartridge being loaded).
#ifndef KORBR_OS_FAKE_OS_H_
#define KORBR_OS_FAKE_OS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "os/os_layer.h"

namespace kor {

enum class OsCall {
  kOpenFile,
  kReadFile,
  kWriteFile,
  kCloseHandle,
  kGetFileAttributes,
  kGetDiskFreeSpace,
  kGetCurrentDirectory,
  kGetTapeStatus,
  kGetTapeMediaParams,
  kGetTapeDriveParams,
  kSetTapeBlockSize,
  kWriteTapemarks,
  kUnloadTape,
  kGetProcessTimes,
  kGetFileSize,
  kFlushFile,
  kFlushDirectory,
  kStartWriteback,
  kDropFromCache,
  kExpectSequentialReads,
  kCheckFileNamed,
};

// One write that reached a file: where it began and how many bytes it
// asked to write (a gathered write is one write of all its slices).
struct WriteExtent {
  uint64_t offset;
  uint32_t length;
};

struct Fault {
  OsCall call;
  int first = 1;           // occurrence of `call` (from 1) where it starts
  int times = 1;           // consecutive occurrences hit; -1 = all from first
  uint32_t error = 0;      // Win32 code of a failure (0 is allowed)
  int64_t transfer = -1;   // reads/writes: >= 0 succeeds moving this many
                           // bytes instead of failing
};

// One cartridge of a fake tape drive: its records and tape marks.
struct FakeCartridge {
  struct Record {
    bool tapemark = false;
    std::vector<uint8_t> data;
  };
  std::vector<Record> records;
  uint64_t capacity = UINT64_MAX;  // bytes of data it can hold
  bool write_protected = false;
  uint64_t BytesUsed() const;
};

// A fake tape drive named "\\.\NAME".  Reads return one record (cut to the
// buffer), fail with 1101 at a tape mark and 1104 past the recorded data;
// a write replaces everything after the position and fails with 1100 beyond
// the capacity and 19 on a write-protected cartridge; an empty drive is not
// ready (1112).  Unloading empties the drive, or in stacker mode loads the
// next cartridge.
struct FakeTapeDrive {
  std::vector<FakeCartridge> cartridges;
  int loaded = -1;           // index into cartridges, -1 = empty
  size_t position = 0;       // record index of the loaded cartridge
  bool stacker = false;      // unload loads the next cartridge
  uint32_t min_block = 1;
  uint32_t max_block = 16 * 1024 * 1024;
  uint32_t block_size = 0;   // set by SetTapeBlockSize
  int not_ready_polls = 0;   // GetTapeStatus answers "not ready" this often
  int open_count = 0;        // handles open on the drive
};

class FakeOs : public OsLayer {
 public:
  explicit FakeOs(PathStyle style = PathStyle::kWindows);
  ~FakeOs() override;

  // --- Scripting ----------------------------------------------------------
  void Inject(const Fault &fault);
  void ClearFaults();
  // Calls of a kind made so far (faulted ones included).
  int Count(OsCall call) const;

  void AddFile(const std::string &name, std::vector<uint8_t> content = {});
  void AddDirectory(const std::string &name);
  bool HasFile(const std::string &name) const;
  std::vector<uint8_t> FileContent(const std::string &name) const;
  void RemoveFile(const std::string &name);
  // Names of the files that exist, sorted.
  std::vector<std::string> FileNames() const;
  // Every write made to the file of that name, in order.
  std::vector<WriteExtent> WritesTo(const std::string &name) const;
  // Names of the files closed through AbandonFile, in order.
  std::vector<std::string> AbandonedFiles() const;
  // Handles still open (a test checks that every one was closed).
  int OpenHandleCount() const;

  // Free space reported for every directory; failing queries through Inject.
  void SetFreeSpace(uint64_t bytes);
  // Current directory; an empty text makes GetCurrentDirectory fail.
  void SetCurrentDirectory(const std::string &directory);
  void SetEnv(const std::string &name, const std::string &value);
  void UnsetEnv(const std::string &name);

  // Tape drives, by the name the library opens ("\\.\TAPE0").
  FakeTapeDrive &AddTapeDrive(const std::string &name);
  FakeTapeDrive &TapeDrive(const std::string &name);

  // Virtual time: milliseconds slept in total, and the tick count base.
  uint64_t SleptMilliseconds() const;
  int SleepCalls() const;
  void SetTickCount(uint32_t ms);
  // Called after every Sleep with the fake itself (the lock is not held).
  std::function<void(FakeOs &)> on_sleep;
  // Process times returned; each GetProcessTimes call adds `step` to the
  // kernel and user times.
  void SetProcessTimes(const ProcessTimes &times, uint64_t step = 0);

  // Trace lines written so far, each with its newline.
  std::vector<std::string> TraceLines() const;
  std::string TraceText() const;
  void ClearTrace();

  // --- OsLayer ------------------------------------------------------------
  OsHandle OpenFile(const std::string &name, uint32_t access, uint32_t share,
                    uint32_t creation, uint32_t *error) override;
  bool ReadFile(OsHandle handle, void *buffer, uint32_t length,
                uint32_t *done, uint32_t *error) override;
  bool WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                 uint32_t *done, uint32_t *error) override;
  // Counted and faulted as a WriteFile (OsCall::kWriteFile): the library
  // makes one or the other for a transfer, so a fault script need not know
  // which.
  bool WriteGather(OsHandle handle, const ByteSlice *slices, int count,
                   uint32_t *done, uint32_t *error) override;
  bool FlushFile(OsHandle handle, uint32_t *error) override;
  // False with kErrorFileInvalid once RemoveFile (or a new file made at
  // the name) took the handle's file from its name.
  bool CheckFileNamed(OsHandle handle, uint32_t *error) override;
  bool FlushDirectory(const std::string &file_name, uint32_t *error) override;
  void StartWriteback(OsHandle handle, uint64_t offset,
                      uint64_t length) override;
  // Counted, as StartWriteback.
  void DropFromCache(OsHandle handle, uint64_t offset,
                     uint64_t length) override;
  void ExpectSequentialReads(OsHandle handle) override;
  bool CloseHandle(OsHandle handle, uint32_t *error) override;
  // Recorded (AbandonedFiles), then counted, faulted and carried out as a
  // CloseHandle (OsCall::kCloseHandle): either call ends a volume, so a
  // fault script need not know which.
  bool AbandonFile(OsHandle handle, uint32_t *error) override;
  uint32_t GetFileAttributes(const std::string &name) override;
  bool GetDiskFreeSpace(const std::string &directory, uint64_t *free_bytes,
                        uint32_t *error) override;
  bool GetCurrentDirectory(std::string *directory) override;
  std::string SystemErrorText(uint32_t code) override;  // "system text <code>"
  PathStyle path_style() const override { return style_; }
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

 private:
  struct OpenEntry;
  struct Impl;
  Impl *impl_;
  PathStyle style_;
};

// Installs a FakeOs for the life of the object (tests).
class ScopedFakeOs {
 public:
  explicit ScopedFakeOs(PathStyle style = PathStyle::kWindows);
  ~ScopedFakeOs();
  FakeOs &operator*() { return fake_; }
  FakeOs *operator->() { return &fake_; }

 private:
  FakeOs fake_;
  OsLayer *previous_;
};

}  // namespace kor

#endif  // KORBR_OS_FAKE_OS_H_
