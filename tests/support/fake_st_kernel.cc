#include "support/fake_st_kernel.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/mtio.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <cstring>

namespace kor {
namespace testkit {

uint64_t StCartridge::BytesUsed() const {
  uint64_t used = 0;
  for (const Record &record : records) used += record.data.size();
  return used;
}

int StCartridge::Marks() const {
  int marks = 0;
  for (const Record &record : records) marks += record.mark ? 1 : 0;
  return marks;
}

namespace {

int Fail(int err) {
  errno = err;
  return -1;
}

}  // namespace

FakeStKernel::FakeStKernel(std::string device_path)
    : device_path_(std::move(device_path)) {}

FakeStKernel::~FakeStKernel() {
  for (int fd : descriptors_) ::close(fd);
}

void FakeStKernel::Load(int cartridge) {
  std::lock_guard<std::mutex> lock(mu_);
  loaded_ = cartridge;
  position_ = 0;
  at_mark_ = past_data_ = false;
  warning_ = WarningState::kBefore;
}

int FakeStKernel::loaded() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loaded_;
}

int FakeStKernel::OpenDescriptors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(descriptors_.size());
}

std::vector<std::pair<int, int>> FakeStKernel::operations() const {
  std::lock_guard<std::mutex> lock(mu_);
  return operations_;
}

uint32_t FakeStKernel::block_size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return block_size_;
}

bool FakeStKernel::Known(int fd) const { return descriptors_.count(fd) != 0; }

StCartridge *FakeStKernel::Loaded() {
  if (loaded_ < 0 || static_cast<size_t>(loaded_) >= cartridges.size())
    return nullptr;
  return &cartridges[static_cast<size_t>(loaded_)];
}

void FakeStKernel::Truncate(StCartridge *cartridge) {
  if (position_ < cartridge->records.size())
    cartridge->records.resize(position_);
  past_data_ = at_mark_ = false;
}

int FakeStKernel::Open(const char *path, int flags) {
  std::lock_guard<std::mutex> lock(mu_);
  if (device_path_ != path) return Fail(ENOENT);
  const StCartridge *cartridge = Loaded();
  if ((flags & O_ACCMODE) == O_RDWR && cartridge != nullptr &&
      cartridge->write_protected)
    return Fail(EROFS);
  if (cartridge == nullptr && (flags & O_NONBLOCK) == 0) return Fail(ENOMEDIUM);
  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  descriptors_.insert(fd);
  return fd;
}

int FakeStKernel::Close(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  if (descriptors_.erase(fd) == 0) return Fail(EBADF);
  ::close(fd);
  return 0;
}

ssize_t FakeStKernel::Read(int fd, void *buffer, size_t length) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Known(fd)) return Fail(EBADF);
  StCartridge *cartridge = Loaded();
  if (cartridge == nullptr) return Fail(ENOMEDIUM);
  at_mark_ = false;
  if (position_ >= cartridge->records.size()) {
    if (past_data_) return Fail(EIO);
    past_data_ = true;
    return 0;
  }
  const StCartridge::Record &record = cartridge->records[position_];
  ++position_;
  if (record.mark) {
    at_mark_ = true;
    return 0;
  }
  if (record.data.size() > length) return Fail(ENOMEM);
  std::memcpy(buffer, record.data.data(), record.data.size());
  return static_cast<ssize_t>(record.data.size());
}

ssize_t FakeStKernel::Write(int fd, const void *buffer, size_t length) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Known(fd)) return Fail(EBADF);
  StCartridge *cartridge = Loaded();
  if (cartridge == nullptr) return Fail(ENOMEDIUM);
  if (cartridge->write_protected) return Fail(EACCES);
  if (block_size_ != 0 && length % block_size_ != 0) return Fail(EINVAL);
  Truncate(cartridge);
  if (warning_ == WarningState::kRefuseNext) {
    warning_ = WarningState::kAllowNext;
    return Fail(ENOSPC);
  }
  const uint64_t used = cartridge->BytesUsed();
  if (used + length > cartridge->physical_end) return Fail(ENOSPC);
  StCartridge::Record record;
  record.data.assign(static_cast<const uint8_t *>(buffer),
                     static_cast<const uint8_t *>(buffer) + length);
  cartridge->records.push_back(std::move(record));
  position_ = cartridge->records.size();
  if (used + length > cartridge->early_warning)
    warning_ = WarningState::kRefuseNext;
  return static_cast<ssize_t>(length);
}

int FakeStKernel::Ioctl(int fd, unsigned long request, void *argument) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Known(fd)) return Fail(EBADF);
  StCartridge *cartridge = Loaded();
  if (request == MTIOCGET) {
    auto *status = static_cast<struct mtget *>(argument);
    std::memset(status, 0, sizeof *status);
    unsigned long bits = 0;
    if (cartridge == nullptr) {
      bits |= GMT_DR_OPEN(~0ul);
    } else {
      bits |= GMT_ONLINE(~0ul);
      if (cartridge->write_protected) bits |= GMT_WR_PROT(~0ul);
      if (position_ == 0) bits |= GMT_BOT(~0ul);
      if (at_mark_) bits |= GMT_EOF(~0ul);
      if (past_data_) bits |= GMT_EOD(~0ul);
      if (warning_ != WarningState::kBefore) bits |= GMT_EOT(~0ul);
    }
    status->mt_gstat = static_cast<long>(bits);
    status->mt_dsreg = static_cast<long>(block_size_) << MT_ST_BLKSIZE_SHIFT;
    return 0;
  }
  if (request == SG_IO) return Fail(EPERM);
  if (request != MTIOCTOP) return Fail(ENOTTY);
  const auto *op = static_cast<const struct mtop *>(argument);
  operations_.push_back({op->mt_op, op->mt_count});
  switch (op->mt_op) {
    case MTSETBLK:
      block_size_ = static_cast<uint32_t>(op->mt_count);
      return 0;
    case MTREW:
      if (cartridge == nullptr) return Fail(ENOMEDIUM);
      position_ = 0;
      at_mark_ = past_data_ = false;
      return 0;
    case MTWEOF:
      if (cartridge == nullptr) return Fail(ENOMEDIUM);
      if (cartridge->write_protected) return Fail(EACCES);
      Truncate(cartridge);
      for (int i = 0; i < op->mt_count; ++i) {
        StCartridge::Record mark;
        mark.mark = true;
        cartridge->records.push_back(mark);
      }
      position_ = cartridge->records.size();
      return 0;
    case MTOFFL: {
      if (cartridge == nullptr) return Fail(ENOMEDIUM);
      const int next = loaded_ + 1;
      loaded_ = autoloader && static_cast<size_t>(next) < cartridges.size()
                    ? next
                    : -1;
      position_ = 0;
      at_mark_ = past_data_ = false;
      warning_ = WarningState::kBefore;
      return 0;
    }
    default:
      return Fail(EINVAL);
  }
}

bool MakeDeviceNode(const std::string &directory, const std::string &name) {
  return ::symlink("/dev/null", (directory + "/" + name).c_str()) == 0;
}

}  // namespace testkit
}  // namespace kor
