// The one interface through which the library reaches the operating system.
//
// Results keep Win32 meaning on every platform: handles are opaque integers
// with -1 as "no handle", failures carry Win32 error codes (see
// win32_codes.h), tape calls take and give the fields of the Win32 tape
// parameter records.  The core never calls the platform any other way, so a
// test can install the scripted fake (fake_os.h) and inject any result.
//
// Implementations: posix_os.cc (Linux and other POSIX systems), win32_os.cc
// with win32/ (Windows), fake_os.cc (tests).  One instance serves the whole process;
// every method may be called from several threads at once.
#ifndef KORBR_OS_OS_LAYER_H_
#define KORBR_OS_OS_LAYER_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kor {

// An open file or device.  kInvalidOsHandle (-1) means "none".
using OsHandle = intptr_t;
constexpr OsHandle kInvalidOsHandle = -1;

// How device names are spelled: decides separators and absolute names.
enum class PathStyle { kWindows, kPosix };

// The fields of TAPE_GET_MEDIA_PARAMETERS that the library uses.
struct TapeMediaParams {
  int64_t capacity = 0;          // native capacity in bytes
  int64_t remaining = 0;         // bytes left on the media
  uint32_t block_size = 0;       // current block size
  uint32_t partition_count = 0;  // partitions on the media
  bool write_protected = false;  // the cartridge refuses writes
};

// The fields of TAPE_GET_DRIVE_PARAMETERS that the library uses.
struct TapeDriveParams {
  bool ecc = false;
  bool compression = false;
  bool data_padding = false;
  bool report_setmarks = false;
  uint32_t default_block_size = 0;
  uint32_t maximum_block_size = 0;
  uint32_t minimum_block_size = 0;
  uint32_t maximum_partition_count = 0;
  uint32_t features_low = 0;
  uint32_t features_high = 0;
};

// One piece of a gathered write.
struct ByteSlice {
  const void *data;
  uint32_t length;
};

// Process CPU and lifetime, as GetProcessTimes gives them: 100 ns units.
struct ProcessTimes {
  uint64_t creation = 0;
  uint64_t exit = 0;
  uint64_t kernel = 0;
  uint64_t user = 0;
};

class OsLayer {
 public:
  OsLayer() = default;
  OsLayer(const OsLayer &) = delete;
  OsLayer &operator=(const OsLayer &) = delete;
  virtual ~OsLayer() = default;

  // --- Files and devices -------------------------------------------------
  // Opens `name` as CreateFileA would with the given access (kGenericRead /
  // kGenericWrite), sharing (kShareNone: no other opener may have the file
  // at the same time) and creation (kOpenExisting, kCreateAlways: a new,
  // empty file).  A name beginning with "\\.\" names a tape drive; one
  // beginning with "s3://" an object in a store (kErrorNotSupported where
  // the build has no object storage).
  // kCreateAlways gives a new file rather than truncating the one at the
  // name, so that another hard link to the old file keeps its bytes
  // (POSIX unlinks the old name and creates the file anew; Windows deletes
  // it first where it may).
  // On POSIX any other name must be a regular file (kErrorBadFileType at
  // once, never waiting on a FIFO), and an open for writing never follows
  // a symbolic link at the name (kErrorStoppedOnSymlink) and gives the file
  // the backup file mode (os/file_mode.h; kErrorBadEnvironment when
  // KOR_VOLUME_MODE is refused); nothing is removed or truncated before
  // these checks and the sharing lock have passed.
  // Returns the handle, or kInvalidOsHandle with *error set.
  virtual OsHandle OpenFile(const std::string &name, uint32_t access,
                            uint32_t share, uint32_t creation,
                            uint32_t *error) = 0;
  // Reads up to `length` bytes.  On a file, fewer bytes only at the end of
  // the data (0 at the end); on a tape, one record.  True with *done set, or
  // false with *error set (*done is then 0).  *error may be 0.
  virtual bool ReadFile(OsHandle handle, void *buffer, uint32_t length,
                        uint32_t *done, uint32_t *error) = 0;
  // Writes `length` bytes.  True with *done set (it may be short), or false
  // with *error set (*done is then 0).  *error may be 0.
  virtual bool WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                         uint32_t *done, uint32_t *error) = 0;
  // Writes the slices one after the other as one stream of bytes (files
  // only, not tape drives), in as few system calls as the platform allows.
  // The total of the lengths must fit 32 bits.  Results as WriteFile: true
  // with *done set (it may be short), or false with *error set and nothing
  // written.
  virtual bool WriteGather(OsHandle handle, const ByteSlice *slices,
                           int count, uint32_t *done, uint32_t *error) = 0;
  // Puts the file's data on stable storage (fdatasync, FlushFileBuffers):
  // after true, a crash of the machine loses none of what was written.
  // False with *error set when the data may not have reached the medium.
  virtual bool FlushFile(OsHandle handle, uint32_t *error) = 0;
  // True when the open file still has a name: a volume whose file was
  // removed while it was written holds a backup nobody can read back.
  // False with *error set: kErrorFileInvalid when its last name is gone,
  // another code when that cannot be told.  For files; the POSIX layer
  // answers true for a tape drive or an object, which have no name to lose.
  virtual bool CheckFileNamed(OsHandle handle, uint32_t *error) = 0;
  // Makes the directory entry of a file created by OpenFile durable (POSIX
  // syncs the directory holding `file_name`; Windows' file systems journal
  // the entry themselves, so there it does nothing).  False with *error
  // set on failure.
  virtual bool FlushDirectory(const std::string &file_name,
                              uint32_t *error) = 0;
  // A hint that returns at once: the system starts writing `length` bytes
  // of the file from `offset` to the medium, so that a later FlushFile has
  // little left to wait for (Linux sync_file_range; elsewhere, and for
  // anything but a plain file, nothing).  Nothing to report: where it fails
  // FlushFile does the work.
  virtual void StartWriteback(OsHandle handle, uint64_t offset,
                              uint64_t length) = 0;
  // A hint that returns once done: `length` bytes of the file from
  // `offset` (0: to its end) will not be read again soon, so the system
  // drops them from its page cache, first writing out and waiting for any
  // of them not yet on the medium (a dirty page cannot be dropped).  A
  // backup beside a live database must not evict the database's pages for
  // volumes nobody reads until a restore.  Linux: sync_file_range, then
  // posix_fadvise DONTNEED; elsewhere, and for anything but a plain file,
  // nothing.  Nothing to report: the bytes are the same either way.
  virtual void DropFromCache(OsHandle handle, uint64_t offset,
                             uint64_t length) = 0;
  // A hint that the file will be read once from start to end: the system
  // reads further ahead (posix_fadvise SEQUENTIAL; elsewhere nothing).
  virtual void ExpectSequentialReads(OsHandle handle) = 0;
  // Closes the handle.  True, or false with *error set; after a failure the
  // handle may or may not still be open (an interrupted close has closed it).
  virtual bool CloseHandle(OsHandle handle, uint32_t *error) = 0;
  // Closes a file whose content is not to be kept as a finished whole (an
  // abandoned backup, a volume that could not be finished).  A plain file
  // is closed as CloseHandle closes it, its bytes left as written; an
  // object being uploaded to a store is discarded and never appears.
  // Results as CloseHandle.
  virtual bool AbandonFile(OsHandle handle, uint32_t *error) = 0;
  // The attributes of `name` (kFileAttributeDirectory, ...), or
  // kInvalidFileAttributes when it cannot be read (for example, missing).
  virtual uint32_t GetFileAttributes(const std::string &name) = 0;
  // Bytes free to the caller on the file system holding `directory`.
  virtual bool GetDiskFreeSpace(const std::string &directory,
                                uint64_t *free_bytes, uint32_t *error) = 0;
  // The current directory, as GetCurrentDirectoryA gives it (a drive root
  // keeps its trailing separator).  False when it cannot be had or does not
  // fit 511 characters.
  virtual bool GetCurrentDirectory(std::string *directory) = 0;
  // The platform's own text for an error code: never empty.
  virtual std::string SystemErrorText(uint32_t code) = 0;
  // How names are spelled on this platform.
  virtual PathStyle path_style() const = 0;
  // The size in bytes of the open file, as GetFileSizeEx gives it: where a
  // volume file really ends.  True with *size set, or false with *error set
  // (a tape drive has no size: 1, invalid function).
  virtual bool GetFileSize(OsHandle handle, uint64_t *size,
                           uint32_t *error) = 0;

  // --- Tape drives (handles opened from a "\\.\" name) -------------------
  // 0 when the drive is ready, else a Win32 code (no media, not ready, ...).
  virtual uint32_t GetTapeStatus(OsHandle handle) = 0;
  virtual bool GetTapeMediaParams(OsHandle handle, TapeMediaParams *params,
                                  uint32_t *error) = 0;
  virtual bool GetTapeDriveParams(OsHandle handle, TapeDriveParams *params,
                                  uint32_t *error) = 0;
  virtual bool SetTapeBlockSize(OsHandle handle, uint32_t block_size,
                                uint32_t *error) = 0;
  // Writes `count` file marks; 0 or a Win32 code.
  virtual uint32_t WriteTapemarks(OsHandle handle, uint32_t count) = 0;
  // Rewinds and unloads the cartridge; 0 or a Win32 code.
  virtual uint32_t UnloadTape(OsHandle handle) = 0;

  // --- Time, environment, output ----------------------------------------
  virtual void Sleep(uint32_t milliseconds) = 0;
  // Milliseconds since the system started, wrapping at 2^32.
  virtual uint32_t TickCount() = 0;
  virtual bool GetProcessTimes(ProcessTimes *times) = 0;
  // True with *value set when the variable exists (its value may be empty).
  virtual bool GetEnv(const std::string &name, std::string *value) = 0;
  // Writes one trace line to standard output and flushes all output.
  virtual void WriteTraceLine(const std::string &line) = 0;
};

// The layer in force for the process: the platform's own unless a test has
// installed another.
OsLayer &Os();

// Installs `layer` for the whole process (nullptr restores the platform's
// own) and returns the previous one.  For tests; the caller keeps ownership
// and must not install while library calls are running.
OsLayer *SetOsLayerForTesting(OsLayer *layer);

// The platform's own layer (defined by posix_os.cc or win32_os.cc).
OsLayer &PlatformOs();

}  // namespace kor

#endif  // KORBR_OS_OS_LAYER_H_
