// Bounded queues of request-sized blocks between the thread that reads or
// writes the data stream and the threads that drive the stripes.
//
// Each stripe has two: `full` carries blocks towards their consumer, `free`
// brings the emptied blocks back, so memory stays at a fixed number of
// blocks per stripe however long the stream is.  Abort() wakes every waiter
// for good: after a failure nobody may stay blocked.
#ifndef KORBR_CLI_BLOCK_QUEUE_H_
#define KORBR_CLI_BLOCK_QUEUE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace kor {
namespace cli {

struct Block {
  explicit Block(size_t size) : bytes(size) {}
  std::vector<uint8_t> bytes;
  bool trailer = false;  // backup: the stripe's last request
};

class BlockQueue {
 public:
  explicit BlockQueue(size_t capacity) : capacity_(capacity) {}
  BlockQueue(const BlockQueue &) = delete;
  BlockQueue &operator=(const BlockQueue &) = delete;

  // Waits while the queue is full.  False (the block is dropped) once the
  // queue is aborted or closed.
  bool Push(std::unique_ptr<Block> block) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      return aborted_ || closed_ || blocks_.size() < capacity_;
    });
    if (aborted_ || closed_) return false;
    blocks_.push_back(std::move(block));
    changed_.notify_all();
    return true;
  }

  // Waits while the queue is empty.  Null once it is aborted, or closed
  // and drained.
  std::unique_ptr<Block> Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock,
                  [&] { return aborted_ || closed_ || !blocks_.empty(); });
    if (aborted_ || blocks_.empty()) return nullptr;
    std::unique_ptr<Block> block = std::move(blocks_.front());
    blocks_.pop_front();
    changed_.notify_all();
    return block;
  }

  // No more blocks will come; what is queued can still be taken.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  void Abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    aborted_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Block>> blocks_;
  size_t capacity_;
  bool closed_ = false;
  bool aborted_ = false;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_BLOCK_QUEUE_H_
