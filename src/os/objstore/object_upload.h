// One object written as a multipart upload.
//
// Writes are copied into a part buffer; a full buffer goes to the object's
// uploader threads (settings.concurrency, each with its own connection),
// and the writer goes on with another buffer.  At most settings.concurrency
// parts wait or travel at once, so a stripe holds at most concurrency + 1
// buffers of settings.part_bytes (more past 1000 parts: see PartSize);
// when all are busy the writer waits for one, asking the host's
// cancellation probe meanwhile.  The first failed part fails every later
// write and the finish.  Finish completes the upload; Discard (and the
// destructor, when neither ran) aborts it.  Both join the threads.
#ifndef KORBR_OS_OBJSTORE_OBJECT_UPLOAD_H_
#define KORBR_OS_OBJSTORE_OBJECT_UPLOAD_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/objstore/s3_client.h"
#include "os/os_layer.h"

namespace kor {

constexpr size_t kPartBytes = kDefaultPartBytes;
// S3's limit on the parts of one upload.
constexpr int kMaxParts = 10000;

// The size of part `part_number` (from 1): `base` for the first thousand
// parts, one `base` more for each thousand after, so that 10000 parts of
// an 8 MiB base hold 440 GB while small objects use small buffers.
// (Every part but the last must be at least 5 MiB.)
size_t PartSize(size_t base, int part_number);
// The same with the default base.
inline size_t PartSize(int part_number) {
  return PartSize(kPartBytes, part_number);
}

class ObjectUpload {
 public:
  // Starts the upload.  Null with *failure set when the store refuses it.
  static std::unique_ptr<ObjectUpload> Start(const S3Settings &settings,
                                             const ObjectLocation &location,
                                             S3Failure *failure);
  ~ObjectUpload();
  ObjectUpload(const ObjectUpload &) = delete;
  ObjectUpload &operator=(const ObjectUpload &) = delete;

  // Takes all the slices' bytes.  False with *failure set (nothing taken).
  bool Write(const ByteSlice *slices, int count, S3Failure *failure);
  // Uploads what is left, waits for every part, completes the upload and
  // checks the object's size.  The failure (code 0: the object is there).
  S3Failure Finish();
  // Aborts the upload: the object never appears.
  void Discard();

 private:
  struct Job {
    int part_number;
    std::vector<uint8_t> data;
  };

  ObjectUpload(const S3Settings &settings, const ObjectLocation &location);
  void UploaderLoop();
  // Hands the filling buffer to the uploaders (waiting for room).
  bool Submit(S3Failure *failure);
  // Waits until `done` holds, polling the cancellation probe.  False with
  // *failure set when a part failed or the host cancelled.
  template <typename Done>
  bool WaitOnWriter(std::unique_lock<std::mutex> &lock, Done done,
                    S3Failure *failure);
  void StopThreads();

  S3Settings settings_;
  ObjectLocation location_;
  S3Client client_;  // the writer's own requests: create, complete, abort
  std::string upload_id_;
  std::vector<uint8_t> filling_;
  int next_part_ = 1;
  uint64_t total_ = 0;
  bool ended_ = false;

  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<Job> queue_;
  int busy_ = 0;  // parts queued or uploading
  std::vector<std::vector<uint8_t>> spare_;
  std::vector<std::string> etags_;  // [part_number - 1]
  S3Failure failure_;               // the first failed part
  bool stopping_ = false;
  std::atomic<bool> abort_{false};
  std::vector<std::thread> threads_;
};

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_OBJECT_UPLOAD_H_
