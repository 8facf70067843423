// One object read from start to end.
//
// A reader thread of the object fetches it in one ranged GET from the
// reader's position to the end, into a ring buffer of kReadAheadBytes
// that the caller's reads empty: the store sends while the caller works,
// and a caller that falls behind holds the transfer back (TCP does the
// rest).  A GET that breaks off is asked again from the first byte not
// yet received, with the retry rules of s3_client.h; only failures that
// bring no byte count against the retries.  Bytes received before a
// failure are still read; the read that reaches past them fails.
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

constexpr size_t kReadAheadBytes = 24u << 20;

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
  ObjectDownload(const S3Settings &settings, const ObjectLocation &location);
  void FetchLoop();
  // Puts received bytes into the ring, waiting for room; false once the
  // object is being closed.
  bool Deliver(const uint8_t *data, size_t length);

  S3Settings settings_;
  ObjectLocation location_;
  uint64_t size_ = 0;

  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<uint8_t> ring_;
  size_t head_ = 0;        // next byte to read
  size_t used_ = 0;        // bytes in the ring
  uint64_t fetched_ = 0;   // bytes of the object received so far
  S3Failure failure_;      // why fetching stopped early
  bool stopping_ = false;
  std::atomic<bool> abort_{false};
  std::thread thread_;
};

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_OBJECT_DOWNLOAD_H_
