// One object read from start to end.
//
// The object is fetched in parts of settings.part_bytes, each by its own
// ranged GET: settings.concurrency reader threads fetch the next parts at
// once, each straight into one of concurrency + 1 part buffers, and the
// caller's reads take the parts in order from those buffers (a part is
// read as it arrives, not only once it is whole).  The store sends while
// the caller works; a caller that falls behind holds the fetching back,
// since a buffer is given to a new part only once the caller has read all
// of its old one.  A GET that breaks off is asked again from the part's
// first byte not yet received, with the retry rules of s3_client.h; only
// failures that bring no byte count against the retries.  Bytes received
// before a failure are still read; the read that reaches past them fails,
// and no part after the failed one is asked for.
//
// Memory: (concurrency + 1) part buffers, no larger than the object.
#ifndef KORBR_OS_OBJSTORE_OBJECT_DOWNLOAD_H_
#define KORBR_OS_OBJSTORE_OBJECT_DOWNLOAD_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "os/objstore/s3_client.h"

namespace kor {

class ObjectDownload {
 public:
  // Checks the object (HEAD) and starts fetching it.  Null with *failure
  // set when it cannot be read.
  static std::unique_ptr<ObjectDownload> Open(const S3Settings &settings,
                                              const ObjectLocation &location,
                                              S3Failure *failure);
  ~ObjectDownload();
  ObjectDownload(const ObjectDownload &) = delete;
  ObjectDownload &operator=(const ObjectDownload &) = delete;

  // Up to `length` bytes at the current position: fewer only at the end
  // of the object.  False with *failure set.
  bool Read(uint8_t *buffer, size_t length, size_t *done, S3Failure *failure);

  // The object's size, as its HEAD gave it.
  uint64_t size() const { return size_; }

 private:
  // One part buffer and the part it holds.  The fetcher that holds the
  // part writes data[filled, length) and the caller reads data[taken,
  // filled); both counts change under mu_.
  struct FreeBuffer {
    void operator()(uint8_t *data) const;
  };
  struct Slot {
    std::unique_ptr<uint8_t[], FreeBuffer> data;
    uint64_t part = 0;
    size_t length = 0;    // bytes of the part
    size_t filled = 0;    // received
    size_t taken = 0;     // read by the caller
    bool busy = false;    // holds a part the caller has not read to its end
    S3Failure failure;    // why the part stopped short of its length
  };

  ObjectDownload(const S3Settings &settings, const ObjectLocation &location);
  void FetchLoop();
  // Fetches the part `slot` was given, with retries; false when it failed
  // (slot->failure set) or the object is being closed.
  bool FetchPart(S3Client *client, const RetryWait &wait, Slot *slot);
  // Appends received bytes to the slot's part; false once the object is
  // being closed.
  bool Deliver(Slot *slot, const uint8_t *data, size_t length);

  S3Settings settings_;
  ObjectLocation location_;
  uint64_t size_ = 0;
  uint64_t parts_ = 0;

  std::mutex mu_;
  std::condition_variable readable_;  // bytes or a failure for the caller
  std::condition_variable room_;      // a free slot, or closing (fetchers)
  std::vector<Slot> slots_;           // part p lives in slots_[p % size]
  uint64_t next_part_ = 0;            // the next part a fetcher takes
  uint64_t read_part_ = 0;            // the part the caller reads
  size_t wanted_ = 0;                 // bytes the waiting caller needs
  bool failed_ = false;               // a part failed: start no more
  bool stopping_ = false;
  std::atomic<bool> abort_{false};
  std::vector<std::thread> threads_;
};

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_OBJECT_DOWNLOAD_H_
