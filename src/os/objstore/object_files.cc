#include "os/objstore/object_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <exception>

#include "os/objstore/object_download.h"
#include "os/objstore/object_upload.h"
#include "os/objstore/s3_names.h"
#include "os/objstore/s3_settings.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

// The calling thread's last object failure: its code and the store's
// reason, for SystemErrorText.
struct LastFailure {
  uint32_t code = 0;
  std::string text;
};
thread_local LastFailure t_last_failure;

// Records `failure` for the calling thread and gives its code.
uint32_t Report(const S3Failure &failure) {
  t_last_failure.code = failure.code;
  t_last_failure.text = failure.text;
  return failure.code;
}

uint32_t Report(uint32_t code, const std::string &text) {
  S3Failure failure;
  failure.code = code;
  failure.text = text;
  return Report(failure);
}

// Runs `call` and turns what it throws (no memory for a buffer, no thread
// to be had) into a failure: nothing is thrown across the OS layer.
template <typename Call>
bool Guarded(uint32_t *error, Call call) {
  try {
    return call();
  } catch (const std::exception &e) {
    *error = Report(kErrorNotEnoughMemory,
                    std::string("object store: out of resources (") + e.what() + ")");
    return false;
  }
}

// A descriptor that stands for the object while it is open.
int ReserveDescriptor() {
  return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

class UploadFile final : public ObjectFile {
 public:
  UploadFile(int fd, std::unique_ptr<ObjectUpload> upload)
      : fd_(fd), upload_(std::move(upload)) {}
  ~UploadFile() override {
    upload_.reset();
    if (fd_ >= 0) ::close(fd_);
  }
  int descriptor() const override { return fd_; }
  bool Read(void *, uint32_t, uint32_t *done, uint32_t *error) override {
    *done = 0;
    *error = Report(kErrorInvalidParameter,
                    "object store: an object being written cannot be read");
    return false;
  }
  bool WriteGather(const ByteSlice *slices, int count, uint32_t *done,
                   uint32_t *error) override {
    *done = 0;
    *error = 0;
    return Guarded(error, [&] {
      S3Failure failure;
      if (!upload_->Write(slices, count, &failure)) {
        *error = Report(failure);
        return false;
      }
      for (int i = 0; i < count; ++i) *done += slices[i].length;
      return true;
    });
  }
  bool Size(uint64_t *, uint32_t *error) override {
    *error = Report(kErrorInvalidParameter,
                    "object store: an object being written has no size yet");
    return false;
  }
  bool Close(bool keep, uint32_t *error) override {
    *error = 0;
    const bool closed = Guarded(error, [&] {
      if (!keep) {
        upload_->Discard();
        return true;
      }
      const S3Failure failure = upload_->Finish();
      if (failure.code == 0) return true;
      *error = Report(failure);
      return false;
    });
    upload_.reset();
    ::close(fd_);
    fd_ = -1;
    return closed;
  }

 private:
  int fd_;
  std::unique_ptr<ObjectUpload> upload_;
};

class DownloadFile final : public ObjectFile {
 public:
  DownloadFile(int fd, std::unique_ptr<ObjectDownload> download)
      : fd_(fd), download_(std::move(download)) {}
  ~DownloadFile() override {
    download_.reset();
    if (fd_ >= 0) ::close(fd_);
  }
  int descriptor() const override { return fd_; }
  bool Read(void *buffer, uint32_t length, uint32_t *done,
            uint32_t *error) override {
    *done = 0;
    *error = 0;
    size_t moved = 0;
    S3Failure failure;
    if (!download_->Read(static_cast<uint8_t *>(buffer), length, &moved,
                         &failure)) {
      *error = Report(failure);
      return false;
    }
    *done = static_cast<uint32_t>(moved);
    return true;  // copies only: nothing here throws
  }
  bool WriteGather(const ByteSlice *, int, uint32_t *done,
                   uint32_t *error) override {
    *done = 0;
    *error = Report(kErrorAccessDenied,
                    "object store: an object opened for reading cannot be "
                    "written");
    return false;
  }
  bool Size(uint64_t *size, uint32_t *error) override {
    *error = 0;
    *size = download_->size();
    return true;
  }
  bool Close(bool, uint32_t *error) override {
    *error = 0;
    download_.reset();
    ::close(fd_);
    fd_ = -1;
    return true;
  }

 private:
  int fd_;
  std::unique_ptr<ObjectDownload> download_;
};

}  // namespace

std::unique_ptr<ObjectFile> OpenObjectFile(const std::string &name,
                                           uint32_t access, uint32_t creation,
                                           uint32_t *error) {
  *error = 0;
  ObjectLocation location;
  if (!ParseObjectUrl(name, &location)) {
    *error = Report(kErrorInvalidParameter,
                    "object store: not s3://BUCKET/KEY with a valid bucket name");
    return nullptr;
  }
  // A store takes whole objects: written from the start, or read.
  const bool write = access == kGenericWrite && creation == kCreateAlways;
  const bool read = access == kGenericRead && creation == kOpenExisting;
  if (!write && !read) {
    *error = Report(kErrorInvalidParameter,
                    "object store: objects are written whole or read");
    return nullptr;
  }
  S3Settings settings;
  std::string why;
  if (const uint32_t code = LoadS3Settings(&settings, &why)) {
    *error = Report(code, why);
    return nullptr;
  }
  const int fd = ReserveDescriptor();
  if (fd < 0) {
    *error = Report(kErrorTooManyOpenFiles,
                    "object store: no descriptor left for the object");
    return nullptr;
  }
  S3Failure failure;
  std::unique_ptr<ObjectFile> object;
  const bool opened = Guarded(error, [&] {
    if (write) {
      std::unique_ptr<ObjectUpload> upload =
          ObjectUpload::Start(settings, location, &failure);
      if (upload) object.reset(new UploadFile(fd, std::move(upload)));
    } else {
      std::unique_ptr<ObjectDownload> download =
          ObjectDownload::Open(settings, location, &failure);
      if (download) object.reset(new DownloadFile(fd, std::move(download)));
    }
    return object != nullptr;
  });
  if (opened) return object;
  if (failure.code == 0 && *error != 0) {  // thrown: *error is set
    ::close(fd);
    return nullptr;
  }
  ::close(fd);
  *error = Report(failure);
  return nullptr;
}

bool ObjectFailureText(uint32_t code, std::string *text) {
  if (code == 0 || t_last_failure.code != code) return false;
  *text = t_last_failure.text;
  return true;
}

void ForgetObjectFailure() { t_last_failure.code = 0; }

}  // namespace kor
