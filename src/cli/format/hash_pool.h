// A few threads that hash buffers handed to them, so that the hashes of
// hashes (the seals of the stream format, `korbr digest`) use every core
// however many stripes carry the stream.  A job names its buffer and where
// its digest goes; whoever handed it on waits for that job alone, so
// results are taken in the order the caller wants while the pool finishes
// them in any order.
#ifndef KORBR_CLI_HASH_POOL_H_
#define KORBR_CLI_HASH_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/format/sha256.h"

namespace kor {
namespace cli {

struct HashJob {
  const uint8_t *data = nullptr;
  size_t length = 0;
  Sha256Digest digest{};  // once done
  bool done = false;      // guarded by the pool
};

class HashPool {
 public:
  // `threads` 0: one per processor.
  explicit HashPool(unsigned threads);
  ~HashPool();  // finishes the jobs already given
  HashPool(const HashPool &) = delete;
  HashPool &operator=(const HashPool &) = delete;

  unsigned threads() const { return static_cast<unsigned>(workers_.size()); }
  // Queues `job` (which must outlive its completion); its buffer must not
  // change until Wait(job) returns.
  void Submit(HashJob *job);
  // Until `job` is done.
  void Wait(HashJob *job);

 private:
  void WorkerMain();

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::deque<HashJob *> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// The processors this process may run on (at least 1).
unsigned ProcessorCount();

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_HASH_POOL_H_
