#include "os/objstore/object_download.h"

#include <chrono>
#include <cstring>

#include "os/cancel_probe.h"
#include "os/objstore/transfer_waits.h"

namespace kor {
namespace {

constexpr auto kProbeInterval = std::chrono::milliseconds(100);

}  // namespace

ObjectDownload::ObjectDownload(const S3Settings &settings,
                               const ObjectLocation &location)
    : settings_(settings), location_(location) {}

std::unique_ptr<ObjectDownload> ObjectDownload::Open(
    const S3Settings &settings, const ObjectLocation &location,
    S3Failure *failure) {
  std::unique_ptr<ObjectDownload> download(
      new ObjectDownload(settings, location));
  S3Client client(settings, location, CallerRetryWait(), CallerStopCheck());
  *failure = client.Head(&download->size_);
  if (failure->code != 0) return nullptr;
  if (download->size_ > 0) {
    download->ring_.resize(download->size_ < kReadAheadBytes
                               ? static_cast<size_t>(download->size_)
                               : kReadAheadBytes);
    download->thread_ = std::thread(&ObjectDownload::FetchLoop, download.get());
  }
  return download;
}

ObjectDownload::~ObjectDownload() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    abort_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

bool ObjectDownload::Deliver(const uint8_t *data, size_t length) {
  std::unique_lock<std::mutex> lock(mu_);
  while (length > 0) {
    changed_.wait(lock, [this] { return stopping_ || used_ < ring_.size(); });
    if (stopping_) return false;
    const size_t tail = (head_ + used_) % ring_.size();
    const size_t contiguous = tail >= head_ ? ring_.size() - tail : head_ - tail;
    const size_t room = ring_.size() - used_;
    size_t n = length < room ? length : room;
    if (n > contiguous) n = contiguous;
    std::memcpy(ring_.data() + tail, data, n);
    used_ += n;
    fetched_ += n;
    data += n;
    length -= n;
    changed_.notify_all();
  }
  return true;
}

void ObjectDownload::FetchLoop() {
  const RetryWait wait = WorkerRetryWait(&mu_, &changed_, &abort_);
  S3Client client(settings_, location_, wait, WorkerStopCheck(&abort_));
  int failures = 0;
  for (;;) {
    uint64_t from;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ || fetched_ == size_) return;
      from = fetched_;
    }
    uint64_t received = 0;
    S3Failure failure = client.GetOnce(
        from, size_ - from,
        [this](const uint8_t *data, size_t n) { return Deliver(data, n); },
        &received);
    if (failure.code == 0 || abort_) continue;
    // A transfer that moved bytes before it broke off made progress: only
    // attempts that bring nothing use up the retries.
    if (received > 0) failures = 0;
    if (failure.retry && failures < settings_.retries) {
      ++failures;
      if (wait(RetryDelayMs(failures))) continue;
      failure.code = kErrorCancelled;
      failure.text = "object store: read given up (cancelled) after " + failure.text;
    } else if (failures > 0) {
      failure.text += ", after " + std::to_string(failures + 1) + " tries";
    }
    std::lock_guard<std::mutex> lock(mu_);
    failure_ = failure;
    failure_.text = SafeReasonText(failure_.text);
    changed_.notify_all();
    return;
  }
}

bool ObjectDownload::Read(uint8_t *buffer, size_t length, size_t *done,
                          S3Failure *failure) {
  *done = 0;
  std::unique_lock<std::mutex> lock(mu_);
  while (*done < length && fetched_ - used_ < size_) {
    if (used_ == 0) {
      // Nothing buffered: the fetch failed, or the store is slower.
      if (failure_.code != 0) {
        *failure = failure_;
        return false;
      }
      if (changed_.wait_for(lock, kProbeInterval) == std::cv_status::timeout) {
        lock.unlock();
        const bool cancelled = CancelRequested();
        lock.lock();
        if (cancelled) {
          failure->code = kErrorCancelled;
          failure->text = "object store: read given up (cancelled)";
          return false;
        }
      }
      continue;
    }
    const size_t contiguous = ring_.size() - head_;
    size_t n = length - *done;
    if (n > used_) n = used_;
    if (n > contiguous) n = contiguous;
    std::memcpy(buffer + *done, ring_.data() + head_, n);
    head_ = (head_ + n) % ring_.size();
    used_ -= n;
    *done += n;
    changed_.notify_all();
  }
  return true;
}

}  // namespace kor
