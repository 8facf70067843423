// A client of an S3 store and the requests a volume makes: multipart
// upload (create, part, complete, abort), HEAD and ranged GET.  HTTP goes
// through libcurl, which signs every request with its own SigV4
// (CURLOPT_AWS_SIGV4); TLS certificates are always verified.  Connections
// stay open in one pool for the whole process, which every client's next
// request draws from (keep-alive across parts, volumes and stripes).
//
// Every request is tried again after a network failure or a server error,
// up to settings.retries times with growing waits (s3_failure.h).  The
// waits go through the caller's `wait` function, which may end them early
// (the host cancelled, the volume was abandoned): the request then fails
// with kErrorCancelled.  A client is used by one thread at a time.
#ifndef KORBR_OS_OBJSTORE_S3_CLIENT_H_
#define KORBR_OS_OBJSTORE_S3_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "os/objstore/s3_failure.h"
#include "os/objstore/s3_names.h"
#include "os/objstore/s3_reply.h"
#include "os/objstore/s3_settings.h"

namespace kor {

// Waits `milliseconds` before a retry; false when the wait was ended and
// the request must give up.
using RetryWait = std::function<bool(uint32_t milliseconds)>;
// Asked during a transfer; true makes it stop (counted as cancelled).
using StopCheck = std::function<bool()>;
// Takes the bytes of a GET as they arrive; false stops the transfer.
using BodySink = std::function<bool(const uint8_t *data, size_t length)>;

class S3Client {
 public:
  S3Client(const S3Settings &settings, const ObjectLocation &location,
           RetryWait wait, StopCheck stop);
  ~S3Client();
  S3Client(const S3Client &) = delete;
  S3Client &operator=(const S3Client &) = delete;

  // Each returns the failure (code 0 when the request succeeded).
  S3Failure CreateUpload(std::string *upload_id);
  S3Failure UploadPart(const std::string &upload_id, int part_number,
                       const uint8_t *data, size_t length, std::string *etag);
  S3Failure CompleteUpload(const std::string &upload_id,
                           const std::vector<std::string> &etags);
  S3Failure AbortUpload(const std::string &upload_id);
  // The object's size.  A missing object is 2, a missing bucket 3.
  S3Failure Head(uint64_t *size);
  // Removes the object.  One that is not there counts as removed.
  S3Failure Delete();
  // One page (up to 1000 objects) of the bucket's objects whose keys
  // begin with `prefix` (ListObjectsV2), after the page that gave
  // `continuation` ("" for the first).
  S3Failure ListPage(const std::string &prefix, const std::string &continuation,
                     S3ListPage *page);
  // One ranged GET of `length` bytes from `offset`, handed to `sink` as
  // they arrive.  Not retried here: *received says how far it came, so the
  // caller can ask again from there.  A reply that ends early fails (to be
  // tried again).
  S3Failure GetOnce(uint64_t offset, uint64_t length, const BodySink &sink,
                    uint64_t *received);

  // One request and what came back (defined in s3_client.cc, where
  // libcurl's callbacks fill them).
  struct Request;
  struct Reply;

 private:
  // One attempt: false with *failure set when it got no usable reply.
  bool Attempt(const Request &request, Reply *reply, S3Failure *failure);
  // Attempts with retries; the reply of the successful one.
  S3Failure Run(const Request &request, Reply *reply);

  S3Settings settings_;
  ObjectLocation location_;
  RetryWait wait_;
  StopCheck stop_;
  void *curl_;  // CURL*, its connections in the process's shared pool
};

// The CompleteMultipartUpload body for the parts' ETags (part i+1 has
// etags[i]).
std::string CompleteUploadBody(const std::vector<std::string> &etags);

// The lower-case hex SHA-256 of `length` bytes.
std::string Sha256Hex(const uint8_t *data, size_t length);

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_S3_CLIENT_H_
