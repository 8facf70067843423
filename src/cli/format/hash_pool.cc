#include "cli/format/hash_pool.h"

#include <thread>

namespace kor {
namespace cli {

unsigned ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

HashPool::HashPool(unsigned threads) {
  if (threads == 0) threads = ProcessorCount();
  for (unsigned i = 0; i < threads; ++i) {
    workers_.emplace_back([this] { WorkerMain(); });
  }
}

HashPool::~HashPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (auto &worker : workers_) worker.join();
}

void HashPool::Submit(HashJob *job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job->done = false;
    queue_.push_back(job);
  }
  work_.notify_one();
}

void HashPool::Wait(HashJob *job) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return job->done; });
}

void HashPool::WorkerMain() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left
    HashJob *job = queue_.front();
    queue_.pop_front();
    lock.unlock();
    const Sha256Digest digest = Sha256Of(job->data, job->length);
    lock.lock();
    job->digest = digest;
    job->done = true;
    done_.notify_all();
  }
}

}  // namespace cli
}  // namespace kor
