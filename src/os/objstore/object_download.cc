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
  download->chunk_count_ = (download->size_ + kChunkBytes - 1) / kChunkBytes;
  if (download->chunk_count_ > 0) {
    for (int i = 0; i < kReadThreads; ++i)
      download->threads_.emplace_back(&ObjectDownload::ReaderLoop,
                                      download.get());
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
  for (std::thread &thread : threads_) thread.join();
}

void ObjectDownload::ReaderLoop() {
  S3Client client(settings_, location_,
                  WorkerRetryWait(&mu_, &changed_, &abort_),
                  WorkerStopCheck(&abort_));
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    Chunk *chunk = nullptr;
    changed_.wait(lock, [this, &chunk] {
      if (stopping_) return true;
      for (auto &candidate : window_) {
        if (!candidate->fetching) {
          chunk = candidate.get();
          return true;
        }
      }
      return false;
    });
    if (stopping_) return;
    chunk->fetching = true;
    const uint64_t offset = chunk->index * kChunkBytes;
    const uint64_t left = size_ - offset;
    const size_t length = left < kChunkBytes ? static_cast<size_t>(left) : kChunkBytes;
    if (!spare_.empty() && chunk->data.empty()) {
      chunk->data = std::move(spare_.back());
      spare_.pop_back();
    }
    std::vector<uint8_t> data = std::move(chunk->data);
    lock.unlock();
    data.resize(length);
    const S3Failure failure = client.GetRange(offset, data.data(), length);
    lock.lock();
    // The chunk stays in the window while it is fetched: only the reader
    // drops chunks, and never one being fetched.
    chunk->data = std::move(data);
    chunk->failure = failure;
    chunk->ready = true;
    changed_.notify_all();
  }
}

void ObjectDownload::Schedule(uint64_t first) {
  // Chunks before `first` were read through, so they are fetched.
  while (!window_.empty() && window_.front()->index < first) {
    spare_.push_back(std::move(window_.front()->data));
    spare_.back().clear();
    window_.pop_front();
  }
  uint64_t next = window_.empty() ? first : window_.back()->index + 1;
  while (next < chunk_count_ && next <= first + kChunksAhead) {
    std::unique_ptr<Chunk> chunk(new Chunk);
    chunk->index = next++;
    window_.push_back(std::move(chunk));
  }
  changed_.notify_all();
}

bool ObjectDownload::Read(uint8_t *buffer, size_t length, size_t *done,
                          S3Failure *failure) {
  *done = 0;
  std::unique_lock<std::mutex> lock(mu_);
  while (*done < length && position_ < size_) {
    const uint64_t index = position_ / kChunkBytes;
    Schedule(index);
    Chunk *chunk = window_.front().get();
    while (!chunk->ready) {
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
    }
    if (chunk->failure.code != 0) {
      *failure = chunk->failure;
      return false;
    }
    const size_t offset = static_cast<size_t>(position_ - index * kChunkBytes);
    const size_t available = chunk->data.size() - offset;
    const size_t n = length - *done < available ? length - *done : available;
    std::memcpy(buffer + *done, chunk->data.data() + offset, n);
    *done += n;
    position_ += n;
  }
  return true;
}

}  // namespace kor
