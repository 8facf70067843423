// The handle table of the POSIX OS layer (file_backend.h), and the
// defaults of a backend without a disk file's cache or name.
#include "os/posix/file_backend.h"

#include <atomic>
#include <climits>
#include <map>
#include <mutex>

namespace kor {

bool FileBackend::Write(const void *buffer, uint32_t length, uint32_t *done,
                        uint32_t *error) {
  const ByteSlice slice = {buffer, length};
  return WriteGather(&slice, 1, done, error);
}

bool FileBackend::Flush(uint32_t * /*error*/) { return true; }

bool FileBackend::CheckNamed(uint32_t * /*error*/) { return true; }

void FileBackend::StartWriteback(uint64_t /*offset*/, uint64_t /*length*/) {}

void FileBackend::DropFromCache(uint64_t /*offset*/, uint64_t /*length*/) {}

void FileBackend::ExpectSequentialReads() {}

TapeBackend *FileBackend::tape() { return nullptr; }

namespace {

class HandleTable {
 public:
  OsHandle Add(int descriptor, std::unique_ptr<FileBackend> backend) {
    std::lock_guard<std::mutex> lock(mu_);
    backends_[descriptor] = std::move(backend);
    count_.store(backends_.size(), std::memory_order_release);
    return descriptor;
  }

  FileBackend *Find(OsHandle handle) {
    // No lock while nothing is entered: disk files pay nothing.
    if (count_.load(std::memory_order_acquire) == 0) return nullptr;
    if (handle < 0 || handle > INT_MAX) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = backends_.find(static_cast<int>(handle));
    return it == backends_.end() ? nullptr : it->second.get();
  }

  std::unique_ptr<FileBackend> Take(OsHandle handle) {
    if (handle < 0 || handle > INT_MAX) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = backends_.find(static_cast<int>(handle));
    if (it == backends_.end()) return nullptr;
    std::unique_ptr<FileBackend> backend = std::move(it->second);
    backends_.erase(it);
    count_.store(backends_.size(), std::memory_order_release);
    return backend;
  }

 private:
  std::mutex mu_;
  std::map<int, std::unique_ptr<FileBackend>> backends_;
  std::atomic<size_t> count_{0};
};

HandleTable &Table() {
  static HandleTable table;
  return table;
}

}  // namespace

OsHandle AddBackend(int descriptor, std::unique_ptr<FileBackend> backend) {
  return Table().Add(descriptor, std::move(backend));
}

FileBackend *FindBackend(OsHandle handle) { return Table().Find(handle); }

std::unique_ptr<FileBackend> TakeBackend(OsHandle handle) {
  return Table().Take(handle);
}

}  // namespace kor
