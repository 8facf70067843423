// The table of the kinds of file the POSIX OS layer opens (device_kinds.h),
// with the FileBackends that carry tape drives and objects through the
// handle table.
#include "os/posix/device_kinds.h"

#include <memory>
#include <new>

#include "os/objstore/object_files.h"
#include "os/path_rules.h"
#include "os/posix/disk_file.h"
#include "os/posix/file_backend.h"
#include "os/tape/tape_backend.h"
#include "os/tape/tape_resolver.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

// A tape drive: records one by one, never gathered, and no file size.
class TapeFile final : public FileBackend {
 public:
  explicit TapeFile(std::unique_ptr<TapeBackend> drive)
      : drive_(std::move(drive)) {}

  bool Read(void *buffer, uint32_t length, uint32_t *done,
            uint32_t *error) override {
    return drive_->Read(buffer, length, done, error);
  }
  bool Write(const void *buffer, uint32_t length, uint32_t *done,
             uint32_t *error) override {
    return drive_->Write(buffer, length, done, error);
  }
  bool WriteGather(const ByteSlice *, int, uint32_t *,
                   uint32_t *error) override {
    *error = kErrorInvalidParameter;
    return false;
  }
  // A drive writes its records as they come; a virtual drive flushes its
  // image when the cartridge is unloaded.  So Flush has nothing to do.
  bool Size(uint64_t *, uint32_t *error) override {
    *error = kErrorInvalidFunction;
    return false;
  }
  bool Close(bool /*keep*/, uint32_t *error) override {
    return drive_->Close(error);
  }
  TapeBackend *tape() override { return drive_.get(); }

 private:
  std::unique_ptr<TapeBackend> drive_;
};

// An object: stored by the completion of its upload at close, and not
// before, whatever is flushed; an abandoned one is never completed.
class ObjectHandle final : public FileBackend {
 public:
  explicit ObjectHandle(std::unique_ptr<ObjectFile> object)
      : object_(std::move(object)) {}

  bool Read(void *buffer, uint32_t length, uint32_t *done,
            uint32_t *error) override {
    return object_->Read(buffer, length, done, error);
  }
  bool WriteGather(const ByteSlice *slices, int count, uint32_t *done,
                   uint32_t *error) override {
    return object_->WriteGather(slices, count, done, error);
  }
  bool Size(uint64_t *size, uint32_t *error) override {
    return object_->Size(size, error);
  }
  bool Close(bool keep, uint32_t *error) override {
    return object_->Close(keep, error);
  }

 private:
  std::unique_ptr<ObjectFile> object_;
};

// Enters `backend` (holding `descriptor`) in the handle table, or closes
// what it holds when there is no memory to enter it.
template <typename Backend, typename Inner>
OsHandle Enter(std::unique_ptr<Inner> inner, uint32_t *error) {
  const int descriptor = inner->descriptor();
  std::unique_ptr<FileBackend> backend(new (std::nothrow)
                                           Backend(std::move(inner)));
  if (!backend) {
    *error = kErrorNotEnoughMemory;
    return kInvalidOsHandle;
  }
  return AddBackend(descriptor, std::move(backend));
}

OsHandle OpenTape(const std::string &name, uint32_t access, uint32_t share,
                  uint32_t /*creation*/, uint32_t *error) {
  std::unique_ptr<TapeBackend> drive =
      OpenTapeDevice(name, access, share, error);
  if (!drive) return kInvalidOsHandle;
  return Enter<TapeFile>(std::move(drive), error);
}

OsHandle OpenObject(const std::string &name, uint32_t access,
                    uint32_t /*share*/, uint32_t creation, uint32_t *error) {
  std::unique_ptr<ObjectFile> object =
      OpenObjectFile(name, access, creation, error);
  if (!object) return kInvalidOsHandle;
  return Enter<ObjectHandle>(std::move(object), error);
}

bool AnyName(const std::string & /*name*/) { return true; }

OsHandle OpenDisk(const std::string &name, uint32_t access, uint32_t share,
                  uint32_t creation, uint32_t *error) {
  const int fd = OpenDiskFile(name, access, share, creation, error);
  return fd < 0 ? kInvalidOsHandle : fd;
}

constexpr DeviceKind kDeviceKinds[] = {
    {IsTapeDevicePath, OpenTape, true},
    {IsObjectStoreName, OpenObject, false},
    {AnyName, OpenDisk, true},  // last: it claims every name
};

}  // namespace

const DeviceKind &DeviceKindOf(const std::string &name) {
  for (const DeviceKind &kind : kDeviceKinds) {
    if (kind.claims(name)) return kind;
  }
  return kDeviceKinds[sizeof kDeviceKinds / sizeof kDeviceKinds[0] - 1];
}

}  // namespace kor
