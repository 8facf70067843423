// The virtual drive's open handle, shared by the two files that implement
// it: vtape_drive.cc (following the state file, the cartridge in the
// drive, parameters, unload) and vtape_records.cc (reading and writing
// records and file marks in the cartridge's image).  Internal to os/tape/;
// others open a drive through OpenVirtualDrive (virtual_tape.h).
#ifndef KORBR_OS_TAPE_VTAPE_DRIVE_H_
#define KORBR_OS_TAPE_VTAPE_DRIVE_H_

#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "os/tape/tape_backend.h"
#include "os/tape/virtual_tape.h"

namespace kor {
namespace vtape {

// What identifies one version of the state file: it is replaced, never
// rewritten in place, so a change gives another inode or other times.
struct Stamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};

  bool operator==(const Stamp &o) const {
    return dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

class VirtualDrive final : public TapeBackend {
 public:
  VirtualDrive(std::string dir, int dir_fd, bool writable)
      : dir_(std::move(dir)), dir_fd_(dir_fd), writable_(writable) {}
  ~VirtualDrive() override {
    CloseImage();
    if (dir_fd_ >= 0) ::close(dir_fd_);
  }

  int descriptor() const override { return dir_fd_; }
  bool Read(void *buffer, uint32_t length, uint32_t *done,
            uint32_t *error) override;
  bool Write(const void *buffer, uint32_t length, uint32_t *done,
             uint32_t *error) override;
  uint32_t Status() override { return Ready(true); }
  bool MediaParams(TapeMediaParams *params, uint32_t *error) override;
  bool DriveParams(TapeDriveParams *params, uint32_t *error) override;
  bool SetBlockSize(uint32_t block_size, uint32_t *error) override;
  uint32_t WriteTapemarks(uint32_t count) override;
  uint32_t Unload() override;
  bool Close(uint32_t *error) override;

  // Reads the state (always when `force`, else only when the file
  // changed).  0, or the code of an unreadable state.
  uint32_t Refresh(bool force);

 private:
  // Refreshes and makes sure a cartridge is loaded and its image open.
  uint32_t Ready(bool force);
  void CloseImage();
  // 0 when a record may be written at the position now, else the code
  // that refuses it (no cartridge, opened for reading, write protected).
  uint32_t MayWrite();
  // The length of the record at the position, 0 with *length; else the
  // code a reader gets there, having moved past a file mark.
  uint32_t NextRecordLength(uint32_t *length);
  // The data of the record of `length` bytes at the position into
  // `buffer`, its framing checked.  0, or a Win32 code; the position is
  // not moved.
  uint32_t ReadRecordData(void *buffer, uint32_t length);
  // Writes `total` bytes of `parts` (at most 3) at the position; the
  // position is not moved.  0, or FailWrite's code.
  uint32_t WriteAtPosition(const struct iovec *parts, int count,
                           uint64_t total);
  // Cuts the image at the position: what lay after it is gone, as on tape.
  // Every write goes through here first, so this is also where an image
  // that shares its bytes with another hard link gets its own copy.
  uint32_t TruncateAtPosition();
  // Replaces the image by a file of its own holding its first `keep`
  // bytes, and writes on there.  0, or a Win32 code with the image as it
  // was.
  uint32_t CopyImageApart(uint64_t keep);
  // A failed write leaves the image as it was before it.
  uint32_t FailWrite(int err);

  const std::string dir_;
  int dir_fd_;               // descriptor(): the directory, held open
  const bool writable_;      // opened with write access
  VirtualDriveState state_;  // as last read
  Stamp stamp_;              // the state file version state_ came from
  bool have_state_ = false;
  uint32_t cartridge_ = 0;   // cartridge the position belongs to
  uint64_t generation_ = 0;  // its load generation
  int image_fd_ = -1;        // its image, once needed
  uint64_t position_ = 0;    // byte offset of the next object
  uint32_t block_size_ = 0;  // set by SetBlockSize; 0 = variable
};

}  // namespace vtape
}  // namespace kor

#endif  // KORBR_OS_TAPE_VTAPE_DRIVE_H_
