// Disk files of the POSIX OS layer: how a name is opened as a file that
// holds backup data, and the FileBackend of an open one.
//
// Files keep Win32 meaning: a read or write on a regular file moves the
// whole count unless it meets the end of the file or an error, and
// CreateFile's "share none" is emulated with flock(), since POSIX has no
// mandatory sharing modes.
#ifndef KORBR_OS_POSIX_DISK_FILE_H_
#define KORBR_OS_POSIX_DISK_FILE_H_

#include <cstdint>
#include <string>

#include "os/os_layer.h"
#include "os/posix/file_backend.h"

namespace kor {

// Opens `name` for CreateFile's `access`, `share` and `creation`
// (kCreateAlways or kOpenExisting) under these rules:
// - only a regular file is opened: a directory is refused with 5, a FIFO,
//   socket or device with 222, and a FIFO is never waited on;
// - a file written is never reached through a symbolic link (681), and is
//   given the backup file mode (KOR_VOLUME_MODE; 10 when that is invalid);
// - kCreateAlways gives a new file: one already at the name is unlinked,
//   never truncated, so another hard link to it keeps its data;
// - a share other than kShareReadWrite locks the file (exclusively for a
//   writer), and a lock held elsewhere refuses the open with 32.
// The descriptor, or -1 with *error set.
int OpenDiskFile(const std::string &name, uint32_t access, uint32_t share,
                 uint32_t creation, uint32_t *error);

// A disk file behind a handle, made for the one call that needs it: the
// handle's descriptor, or -1 where the handle cannot be one (each call
// then fails with 6, invalid handle).  Not entered in the handle table.
class DiskFile final : public FileBackend {
 public:
  explicit DiskFile(OsHandle handle);

  bool Read(void *buffer, uint32_t length, uint32_t *done,
            uint32_t *error) override;
  bool WriteGather(const ByteSlice *slices, int count, uint32_t *done,
                   uint32_t *error) override;
  // fdatasync().
  bool Flush(uint32_t *error) override;
  // False with 1006 once the file has no name left (it was removed).
  bool CheckNamed(uint32_t *error) override;
  void StartWriteback(uint64_t offset, uint64_t length) override;
  void DropFromCache(uint64_t offset, uint64_t length) override;
  void ExpectSequentialReads() override;
  bool Size(uint64_t *size, uint32_t *error) override;
  bool Close(bool keep, uint32_t *error) override;

 private:
  // False with *error 6 when there is no descriptor.
  bool HasDescriptor(uint32_t *error) const;

  int fd_ = -1;
};

}  // namespace kor

#endif  // KORBR_OS_POSIX_DISK_FILE_H_
