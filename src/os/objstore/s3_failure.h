// What a failed S3 request means to the core: the Win32 code with the same
// meaning, whether trying again may help, and a reason text for the host.
//
//   no such bucket 3, no such object or upload 2, access refused 5,
//   a quota or a full store 112 (the core's disk-full handling applies),
//   network failures and server errors (5xx, throttling) are tried again
//   and in the end give 59 (network) or 1117 (server), anything else 87.
//
// The text names the server's error code and message and the HTTP status,
// never a header or a key: the server's message is cut short and stripped
// of control characters before it goes into a message for the host.
#ifndef KORBR_OS_OBJSTORE_S3_FAILURE_H_
#define KORBR_OS_OBJSTORE_S3_FAILURE_H_

#include <cstdint>
#include <string>

#include "os/objstore/s3_reply.h"

namespace kor {

// ERROR_UNEXP_NET_ERR: the store could not be reached.
constexpr uint32_t kErrorNetwork = 59;
// ERROR_CANCELLED: the host gave up while a request waited to be retried.
constexpr uint32_t kErrorCancelled = 1223;

struct S3Failure {
  uint32_t code = 0;   // 0: no failure
  bool retry = false;  // a later attempt may succeed
  std::string text;
  // The store's own words, "CODE: MESSAGE" (or "CODE"), made safe like
  // `text`; "" when its reply named no error code.  A host that has only
  // the status (a HEAD reply) can ask again with a GET to learn them.
  std::string store_reason;
};

// A reply with HTTP `status` (not 2xx) and its error document, if any.
S3Failure FailureFromReply(long status, const S3ErrorReply &reply);

// A request that got no reply: `detail` is libcurl's text; `retry` false for
// failures that no repeat mends (a certificate refused, a bad URL).
S3Failure FailureFromTransport(bool retry, const std::string &detail);

// Milliseconds to wait before retry number `retry` (1 = the first): 250 ms
// doubling up to 8 s.
uint32_t RetryDelayMs(int retry);

// At most 200 printable characters of `text` (control characters become
// blanks).
std::string SafeReasonText(const std::string &text);

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_S3_FAILURE_H_
