// One object read from start to end in ranged GETs.
//
// The object is cut into chunks of kChunkBytes.  The chunk being read and
// up to kChunksAhead after it are fetched by the object's reader threads
// (kReadThreads, each with its own connection) while the caller copies out
// of the chunks already there, so reading waits on the network only when
// the caller is faster than the store.  A chunk whose GET failed fails the
// read that reaches it.
#ifndef KORBR_OS_OBJSTORE_OBJECT_DOWNLOAD_H_
#define KORBR_OS_OBJSTORE_OBJECT_DOWNLOAD_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "os/objstore/s3_client.h"

namespace kor {

constexpr size_t kChunkBytes = 8u << 20;
constexpr int kChunksAhead = 2;
constexpr int kReadThreads = 2;

class ObjectDownload {
 public:
  // Checks the object (HEAD).  Null with *failure set when it cannot be
  // read.
  static std::unique_ptr<ObjectDownload> Open(const S3Settings &settings,
                                              const ObjectLocation &location,
                                              S3Failure *failure);
  ~ObjectDownload();
  ObjectDownload(const ObjectDownload &) = delete;
  ObjectDownload &operator=(const ObjectDownload &) = delete;

  // Up to `length` bytes at the current position: fewer only at the end
  // of the object.  False with *failure set.
  bool Read(uint8_t *buffer, size_t length, size_t *done, S3Failure *failure);

 private:
  struct Chunk {
    uint64_t index = 0;
    std::vector<uint8_t> data;
    bool fetching = false;
    bool ready = false;
    S3Failure failure;
  };

  ObjectDownload(const S3Settings &settings, const ObjectLocation &location);
  void ReaderLoop();
  // Drops chunks before `first` and queues those up to kChunksAhead after.
  void Schedule(uint64_t first);

  S3Settings settings_;
  ObjectLocation location_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  uint64_t chunk_count_ = 0;

  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Chunk>> window_;  // consecutive, in order
  std::vector<std::vector<uint8_t>> spare_;
  bool stopping_ = false;
  std::atomic<bool> abort_{false};
  std::vector<std::thread> threads_;
};

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_OBJECT_DOWNLOAD_H_
