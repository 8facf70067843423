// pipeline/: threads and buffers between input, hash, codec and stripes.
//
// Bounded queues of request-sized blocks between the threads of a backup or
// restore: the one that reads or writes the data stream, the hasher, and
// the threads that drive the stripes.  Each queue has one producer and one
// consumer.
//
// Each stripe has two: `full` carries blocks towards their consumer, `free`
// brings the emptied blocks back, so memory stays at a fixed number of
// blocks per stripe however long the stream is.  Abort() wakes every waiter
// for good: after a failure nobody may stay blocked.
#ifndef KORBR_CLI_BLOCK_QUEUE_H_
#define KORBR_CLI_BLOCK_QUEUE_H_

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "cli/format/sha256.h"

namespace kor {
namespace cli {

// Which pool a block returns to once its consumer is done with it: the
// free queue of its stripe, or the codec's own buffers (a backup's input
// chunks before compression, a restore's inflated output).
enum class BlockPool : uint8_t { kStripe, kCodec };

struct Block {
  explicit Block(size_t size) : bytes(size) {}
  std::vector<uint8_t> bytes;
  bool trailer = false;         // backup: the stripe's last request
  BlockPool pool = BlockPool::kStripe;
  uint32_t stripe = 0;          // for kStripe: the stripe it belongs to
  uint32_t payload_offset = 0;  // where the payload begins in `bytes`
  uint32_t payload_length = 0;  // payload bytes
  Sha256Digest digest{};        // restore, version 3: the payload's SHA-256
  uint64_t stripe_offset = 0;   // restore: where it lies in its stripe
};

class BlockQueue {
 public:
  explicit BlockQueue(size_t capacity) : capacity_(capacity) {}
  BlockQueue(const BlockQueue &) = delete;
  BlockQueue &operator=(const BlockQueue &) = delete;

  // Waits while the queue is full; a producer that had to wait sleeps on
  // until the queue is half empty.  False (the block is dropped) once the
  // queue is aborted or closed.
  bool Push(std::unique_ptr<Block> block) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (blocks_.size() >= capacity_ && !aborted_ && !closed_) {
      producer_waits_ = true;
      not_full_.wait(lock, [&] {
        return aborted_ || closed_ || blocks_.size() <= capacity_ / 2;
      });
      producer_waits_ = false;
    }
    if (aborted_ || closed_) return false;
    blocks_.push_back(std::move(block));
    if (blocks_.size() >= wanted_) not_empty_.notify_one();
    return true;
  }

  // Waits while the queue is empty.  Null once it is aborted, or closed
  // and drained.  A consumer that had to wait sleeps on until the batch
  // size of blocks is there (see SetBatch), or for kBatchPatience at most.
  std::unique_ptr<Block> Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (blocks_.empty() && !aborted_ && !closed_) {
      auto ready = [&] {
        return aborted_ || closed_ || blocks_.size() >= wanted_;
      };
      wanted_ = batch_;
      if (!not_empty_.wait_for(lock, kBatchPatience, ready)) {
        wanted_ = 1;
        not_empty_.wait(lock, ready);
      }
      wanted_ = 1;
    }
    if (aborted_ || blocks_.empty()) return nullptr;
    std::unique_ptr<Block> block = std::move(blocks_.front());
    blocks_.pop_front();
    if (producer_waits_ && blocks_.size() <= capacity_ / 2) {
      not_full_.notify_one();
    }
    return block;
  }

  // A consumer that found the queue empty sleeps until `batch` blocks (at
  // least 1, at most the capacity) are there.  One producer and one
  // consumer that hand blocks over one at a time wake each other for every
  // block, and on a machine with fewer cores than threads those switches
  // cost more than the work they serve.  Where fewer blocks than the batch
  // can come (the end of a stream, blocks held elsewhere), the consumer
  // takes what there is after kBatchPatience.
  void SetBatch(size_t batch) {
    std::lock_guard<std::mutex> lock(mutex_);
    batch_ = std::max<size_t>(1, std::min(batch, capacity_));
  }

  // No more blocks will come; what is queued can still be taken.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    not_empty_.notify_all();
    not_full_.notify_all();
  }

  void Abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    aborted_ = true;
    not_empty_.notify_all();
    not_full_.notify_all();
  }

  bool aborted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborted_;
  }

 private:
  static constexpr std::chrono::milliseconds kBatchPatience{20};

  std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::deque<std::unique_ptr<Block>> blocks_;
  size_t capacity_;
  size_t batch_ = 1;
  size_t wanted_ = 1;  // blocks the waiting consumer sleeps for
  bool producer_waits_ = false;
  bool closed_ = false;
  bool aborted_ = false;
};

// Blocks per stripe: enough to keep a stripe's device busy while the other
// stages work, within about 64 MiB over all stripes, and 3 at least (the
// block being filled, the one read ahead, the one being written).
inline size_t BlocksPerStripe(uint32_t stripes, uint32_t request_size) {
  const size_t budget = (size_t{64} << 20) / std::max<uint32_t>(1, stripes);
  return std::max<size_t>(3, std::min<size_t>(32, budget / request_size));
}

// The batch size (see BlockQueue::SetBatch) of a queue through which
// `blocks` blocks in all circulate: a quarter of them, at most 8.
inline size_t HandOverBatch(size_t blocks) {
  return std::max<size_t>(1, std::min<size_t>(8, blocks / 4));
}

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_BLOCK_QUEUE_H_
