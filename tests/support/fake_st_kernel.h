// A stateful Linux st driver for tests: cartridges that keep records and
// file marks, a position, the early-warning point and the physical end of
// the media, write protection, loading and unloading.
//
// It stands at the st backend's system-call seam (StKernel), so the
// backend, the POSIX layer and the whole library above run unchanged on
// top of it: install it with ScopedStKernel and name a character device
// (DeviceNode makes one) as a tape drive.  Only the behaviour the backend
// relies on is played, as the st driver documents it for fixed-block mode:
//   read       one record; 0 at a file mark (the position moves past it,
//              GMT_EOF), 0 at the end of the recorded data (GMT_EOD) and
//              EIO after that; ENOMEM for a record longer than the buffer
//   write      one record; everything after the position is lost.  The
//              write that passes the early-warning point completes (GMT_EOT
//              from then on); after it writes are refused with ENOSPC and
//              allowed by turns, so that a trailer can still be written;
//              at the physical end ENOSPC, nothing written
//   MTWEOF     file marks at the position (EACCES when write-protected)
//   MTSETBLK   the block size (mt_dsreg); MTREW rewinds
//   MTOFFL     rewinds and unloads: the drive is empty, or with an
//              autoloader the next cartridge is loaded
//   open       a read-write open of a write-protected cartridge: EROFS;
//              O_NONBLOCK opens an empty drive
//   SG_IO      refused (EPERM): the backend uses its default limits
// Descriptors are real (of /dev/null), so no other open file shares one.
#ifndef KORBR_TESTS_SUPPORT_FAKE_ST_KERNEL_H_
#define KORBR_TESTS_SUPPORT_FAKE_ST_KERNEL_H_

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "os/tape/st_backend.h"

namespace kor {
namespace testkit {

struct StCartridge {
  struct Record {
    bool mark = false;          // a file mark
    std::vector<uint8_t> data;  // a record's bytes
  };
  std::vector<Record> records;
  uint64_t early_warning = UINT64_MAX;  // bytes written before the warning
  uint64_t physical_end = UINT64_MAX;   // bytes the media can hold
  bool write_protected = false;
  uint64_t BytesUsed() const;
  int Marks() const;
};

class FakeStKernel : public StKernel {
 public:
  // The drive answers opens of `device_path` only.
  explicit FakeStKernel(std::string device_path);
  ~FakeStKernel() override;

  // --- The operator and the autoloader ------------------------------------
  std::vector<StCartridge> cartridges;
  bool autoloader = false;   // MTOFFL loads the next cartridge
  void Load(int cartridge);  // index; the position goes to the start
  int loaded() const;        // -1 when empty

  // --- What happened ------------------------------------------------------
  int OpenDescriptors() const;
  std::vector<std::pair<int, int>> operations() const;  // (mt_op, mt_count)
  uint32_t block_size() const;

  // --- StKernel -----------------------------------------------------------
  int Open(const char *path, int flags) override;
  int Close(int fd) override;
  ssize_t Read(int fd, void *buffer, size_t length) override;
  ssize_t Write(int fd, const void *buffer, size_t length) override;
  int Ioctl(int fd, unsigned long request, void *argument) override;

 private:
  enum class WarningState { kBefore, kRefuseNext, kAllowNext };
  bool Known(int fd) const;
  StCartridge *Loaded();
  void Truncate(StCartridge *cartridge);

  mutable std::mutex mu_;
  std::string device_path_;
  std::set<int> descriptors_;
  int loaded_ = -1;
  size_t position_ = 0;
  bool at_mark_ = false;    // the last read met a file mark
  bool past_data_ = false;  // a read found no more recorded data
  WarningState warning_ = WarningState::kBefore;
  uint32_t block_size_ = 0;
  std::vector<std::pair<int, int>> operations_;
};

// Installs a kernel for every st device the library opens, for the life of
// the object.
class ScopedStKernel {
 public:
  explicit ScopedStKernel(StKernel *kernel)
      : previous_(SetStKernelForTesting(kernel)) {}
  ~ScopedStKernel() { SetStKernelForTesting(previous_); }
  ScopedStKernel(const ScopedStKernel &) = delete;
  ScopedStKernel &operator=(const ScopedStKernel &) = delete;

 private:
  StKernel *previous_;
};

// Makes `directory`/`name` a character device node (a link to /dev/null),
// which the tape resolver takes for an st drive.  True on success.
bool MakeDeviceNode(const std::string &directory, const std::string &name);

}  // namespace testkit
}  // namespace kor

#endif  // KORBR_TESTS_SUPPORT_FAKE_ST_KERNEL_H_
