#include "os/objstore/object_upload.h"

#include <chrono>
#include <cstring>

#include "os/cancel_probe.h"
#include "os/objstore/transfer_waits.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

// How often a waiting writer asks the host whether to give up.
constexpr auto kProbeInterval = std::chrono::milliseconds(100);

S3Failure CancelledFailure() {
  S3Failure failure;
  failure.code = kErrorCancelled;
  failure.text = "object store: upload given up (cancelled)";
  return failure;
}

}  // namespace

size_t PartSize(size_t base, int part_number) {
  const int thousands = part_number < 1 ? 0 : (part_number - 1) / 1000;
  return base * static_cast<size_t>(1 + thousands);
}

ObjectUpload::ObjectUpload(const S3Settings &settings,
                           const ObjectLocation &location)
    : settings_(settings),
      location_(location),
      client_(settings, location, CallerRetryWait(), CallerStopCheck()) {}

std::unique_ptr<ObjectUpload> ObjectUpload::Start(
    const S3Settings &settings, const ObjectLocation &location,
    S3Failure *failure) {
  std::unique_ptr<ObjectUpload> upload(new ObjectUpload(settings, location));
  *failure = upload->client_.CreateUpload(&upload->upload_id_);
  if (failure->code != 0) {
    upload->ended_ = true;  // nothing to abort
    return nullptr;
  }
  for (int i = 0; i < settings.concurrency; ++i)
    upload->threads_.emplace_back(&ObjectUpload::UploaderLoop, upload.get());
  return upload;
}

ObjectUpload::~ObjectUpload() {
  if (!ended_) Discard();
  StopThreads();
}

void ObjectUpload::UploaderLoop() {
  S3Client client(settings_, location_,
                  WorkerRetryWait(&mu_, &changed_, &abort_),
                  WorkerStopCheck(&abort_));
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    // Once a part failed the upload is lost: the rest are not sent.
    const bool send = failure_.code == 0 && !abort_;
    lock.unlock();
    std::string etag;
    S3Failure failure;
    if (send)
      failure = client.UploadPart(upload_id_, job.part_number, job.data.data(),
                                  job.data.size(), &etag);
    lock.lock();
    if (send && failure.code == 0) {
      if (etags_.size() < static_cast<size_t>(job.part_number))
        etags_.resize(static_cast<size_t>(job.part_number));
      etags_[static_cast<size_t>(job.part_number) - 1] = etag;
    } else if (send && failure_.code == 0) {
      failure_ = failure;
    }
    job.data.clear();
    spare_.push_back(std::move(job.data));
    --busy_;
    changed_.notify_all();
  }
}

template <typename Done>
bool ObjectUpload::WaitOnWriter(std::unique_lock<std::mutex> &lock, Done done,
                                S3Failure *failure) {
  for (;;) {
    if (failure_.code != 0) {
      *failure = failure_;
      return false;
    }
    if (done()) return true;
    if (changed_.wait_for(lock, kProbeInterval) == std::cv_status::timeout) {
      // The host's probe runs without the object's lock.
      lock.unlock();
      const bool cancelled = CancelRequested();
      lock.lock();
      if (cancelled) {
        if (failure_.code == 0) failure_ = CancelledFailure();
        abort_ = true;
        changed_.notify_all();
      }
    }
  }
}

bool ObjectUpload::Submit(S3Failure *failure) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!WaitOnWriter(lock, [this] { return busy_ < settings_.concurrency; }, failure))
    return false;
  queue_.push_back(Job{next_part_, std::move(filling_)});
  ++busy_;
  ++next_part_;
  changed_.notify_all();
  if (!spare_.empty()) {
    filling_ = std::move(spare_.back());
    spare_.pop_back();
  } else {
    filling_ = std::vector<uint8_t>();
  }
  return true;
}

bool ObjectUpload::Write(const ByteSlice *slices, int count,
                         S3Failure *failure) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (failure_.code != 0) {
      *failure = failure_;
      return false;
    }
  }
  for (int i = 0; i < count; ++i) {
    const uint8_t *data = static_cast<const uint8_t *>(slices[i].data);
    size_t left = slices[i].length;
    while (left > 0) {
      if (next_part_ > kMaxParts) {
        failure->code = kErrorFileTooLarge;
        failure->text = "object store: the object would need more than 10000 "
                        "parts (choose a smaller capacity)";
        return false;
      }
      const size_t limit = PartSize(settings_.part_bytes, next_part_);
      if (filling_.capacity() < limit) filling_.reserve(limit);
      const size_t room = limit - filling_.size();
      const size_t n = left < room ? left : room;
      filling_.insert(filling_.end(), data, data + n);
      data += n;
      left -= n;
      total_ += n;
      // A full part goes at once: only the last part may be smaller.
      if (filling_.size() == limit && !Submit(failure)) return false;
    }
  }
  return true;
}

S3Failure ObjectUpload::Finish() {
  S3Failure failure;
  ended_ = true;
  // The last part (an object of no bytes still has one, empty).
  const bool last = !filling_.empty() || next_part_ == 1;
  bool uploaded = !last || Submit(&failure);
  if (uploaded) {
    std::unique_lock<std::mutex> lock(mu_);
    uploaded = WaitOnWriter(lock, [this] { return busy_ == 0; }, &failure);
  }
  StopThreads();
  if (uploaded) {
    failure = client_.CompleteUpload(upload_id_, etags_);
    if (failure.code == 0) {
      // The store must hold exactly what was written.
      uint64_t size = 0;
      failure = client_.Head(&size);
      if (failure.code == 0 && size != total_) {
        failure.code = kErrorIoDevice;
        failure.text = "object store: the completed object holds " +
                       std::to_string(size) + " bytes, not " +
                       std::to_string(total_);
      }
      return failure;
    }
  }
  client_.AbortUpload(upload_id_);
  return failure;
}

void ObjectUpload::Discard() {
  ended_ = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    abort_ = true;
    changed_.notify_all();
  }
  StopThreads();
  // Best effort: an upload that is never completed never shows as an
  // object, aborted or not; the abort frees the parts' storage.
  client_.AbortUpload(upload_id_);
}

void ObjectUpload::StopThreads() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    changed_.notify_all();
  }
  for (std::thread &thread : threads_) thread.join();
  threads_.clear();
}

}  // namespace kor
