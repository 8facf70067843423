#include "os/objstore/object_download.h"

#include <sys/mman.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "os/cancel_probe.h"
#include "os/objstore/transfer_waits.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

constexpr auto kProbeInterval = std::chrono::milliseconds(100);
constexpr size_t kHugePage = 2u << 20;

// A part buffer, left unset: every byte is written by its GET before it
// is read.  Each volume's buffers are new memory, and faulting that in
// 4 KiB pages cost about a tenth of a restore's CPU: a buffer of whole
// 2 MiB pages asks for huge pages instead (the kernel may decline).
uint8_t *NewPartBuffer(size_t bytes) {
  if (bytes < kHugePage) return static_cast<uint8_t *>(std::malloc(bytes));
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void *data = std::aligned_alloc(kHugePage, rounded);
  if (data != nullptr) ::madvise(data, rounded, MADV_HUGEPAGE);
  return static_cast<uint8_t *>(data);
}

}  // namespace

void ObjectDownload::FreeBuffer::operator()(uint8_t *data) const {
  std::free(data);
}

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
  if (download->size_ == 0) return download;
  const uint64_t part = settings.part_bytes;
  download->parts_ = (download->size_ + part - 1) / part;
  // More fetchers or buffers than parts would only sit idle.
  uint64_t fetchers = static_cast<uint64_t>(settings.concurrency);
  if (fetchers > download->parts_) fetchers = download->parts_;
  uint64_t slots = fetchers + 1;
  if (slots > download->parts_) slots = download->parts_;
  const size_t buffer = static_cast<size_t>(
      download->size_ < part ? download->size_ : part);
  download->slots_.resize(static_cast<size_t>(slots));
  for (Slot &slot : download->slots_) {
    slot.data.reset(NewPartBuffer(buffer));
    if (!slot.data) {
      failure->code = kErrorNotEnoughMemory;
      failure->text = "object store: no memory for the read-ahead buffers";
      return nullptr;
    }
  }
  for (uint64_t i = 0; i < fetchers; ++i)
    download->threads_.emplace_back(&ObjectDownload::FetchLoop, download.get());
  return download;
}

ObjectDownload::~ObjectDownload() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    abort_ = true;
    room_.notify_all();
    readable_.notify_all();
  }
  for (std::thread &thread : threads_) thread.join();
}

bool ObjectDownload::Deliver(Slot *slot, const uint8_t *data, size_t length) {
  // Only this fetcher writes past `filled`, and the caller reads only
  // below it: the copy needs no lock.
  std::memcpy(slot->data.get() + slot->filled, data, length);
  std::lock_guard<std::mutex> lock(mu_);
  if (stopping_) return false;
  slot->filled += length;
  // Wake the caller only once it can take all it waits for (or the part
  // is whole): not for every piece the connection hands over.
  if (slot->part == read_part_ &&
      (slot->filled - slot->taken >= wanted_ || slot->filled == slot->length))
    readable_.notify_one();
  return true;
}

bool ObjectDownload::FetchPart(S3Client *client, const RetryWait &wait,
                               Slot *slot) {
  const uint64_t start = slot->part * settings_.part_bytes;
  int failures = 0;
  for (;;) {
    // `filled` changes only on this thread.
    const size_t from = slot->filled;
    if (from == slot->length) return true;
    uint64_t received = 0;
    S3Failure failure = client->GetOnce(
        start + from, slot->length - from,
        [this, slot](const uint8_t *data, size_t n) {
          return Deliver(slot, data, n);
        },
        &received);
    if (abort_) return false;
    if (failure.code == 0) continue;
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
    slot->failure = failure;
    slot->failure.text = SafeReasonText(slot->failure.text);
    failed_ = true;
    readable_.notify_one();
    room_.notify_all();
    return false;
  }
}

void ObjectDownload::FetchLoop() {
  const RetryWait wait = WorkerRetryWait(&mu_, &room_, &abort_);
  S3Client client(settings_, location_, wait, WorkerStopCheck(&abort_));
  for (;;) {
    Slot *slot;
    {
      std::unique_lock<std::mutex> lock(mu_);
      room_.wait(lock, [this] {
        return stopping_ || failed_ || next_part_ == parts_ ||
               !slots_[next_part_ % slots_.size()].busy;
      });
      if (stopping_ || failed_ || next_part_ == parts_) return;
      slot = &slots_[next_part_ % slots_.size()];
      slot->part = next_part_;
      const uint64_t left = size_ - next_part_ * settings_.part_bytes;
      slot->length = static_cast<size_t>(
          left < settings_.part_bytes ? left : settings_.part_bytes);
      slot->filled = 0;
      slot->taken = 0;
      slot->busy = true;
      slot->failure = S3Failure();
      ++next_part_;
    }
    if (!FetchPart(&client, wait, slot)) return;
  }
}

bool ObjectDownload::Read(uint8_t *buffer, size_t length, size_t *done,
                          S3Failure *failure) {
  *done = 0;
  std::unique_lock<std::mutex> lock(mu_);
  while (*done < length && read_part_ < parts_) {
    Slot &slot = slots_[read_part_ % slots_.size()];
    const bool mine = slot.busy && slot.part == read_part_;
    if (!mine || slot.filled == slot.taken) {
      // Nothing received yet: the part failed, or the store is slower.
      if (mine && slot.failure.code != 0) {
        *failure = slot.failure;
        return false;
      }
      const size_t part_left = mine ? slot.length - slot.taken : length;
      wanted_ = length - *done < part_left ? length - *done : part_left;
      if (readable_.wait_for(lock, kProbeInterval) == std::cv_status::timeout) {
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
    size_t n = length - *done;
    if (n > slot.filled - slot.taken) n = slot.filled - slot.taken;
    // The slot stays this part's until `taken` reaches its length, and
    // its fetcher writes only past `filled`: the copy needs no lock.
    const uint8_t *from = slot.data.get() + slot.taken;
    lock.unlock();
    std::memcpy(buffer + *done, from, n);
    lock.lock();
    slot.taken += n;
    *done += n;
    if (slot.taken == slot.length) {
      slot.busy = false;
      ++read_part_;
      room_.notify_all();
    }
  }
  return true;
}

}  // namespace kor
