#include "os/objstore/s3_failure.h"

#include "os/win32_codes.h"

namespace kor {
namespace {

struct CodeMeaning {
  const char *s3_code;
  uint32_t code;
  bool retry;
};

// Error codes of S3 and of the common S3-compatible stores.
constexpr CodeMeaning kMeanings[] = {
    {"NoSuchBucket", kErrorPathNotFound, false},
    {"NoSuchKey", kErrorFileNotFound, false},
    {"NoSuchUpload", kErrorFileNotFound, false},
    {"AccessDenied", kErrorAccessDenied, false},
    {"AllAccessDisabled", kErrorAccessDenied, false},
    {"AccountProblem", kErrorAccessDenied, false},
    {"InvalidAccessKeyId", kErrorAccessDenied, false},
    {"SignatureDoesNotMatch", kErrorAccessDenied, false},
    {"ExpiredToken", kErrorAccessDenied, false},
    {"InvalidToken", kErrorAccessDenied, false},
    {"QuotaExceeded", kErrorDiskFull, false},
    {"EntityTooLarge", kErrorDiskFull, false},
    {"XMinioStorageFull", kErrorDiskFull, false},
    {"XMinioAdminBucketQuotaExceeded", kErrorDiskFull, false},
    {"SlowDown", kErrorIoDevice, true},
    {"ServiceUnavailable", kErrorIoDevice, true},
    {"InternalError", kErrorIoDevice, true},
    {"RequestTimeout", kErrorIoDevice, true},
    // The body did not arrive as sent: sending it again mends that.
    {"BadDigest", kErrorIoDevice, true},
    {"XAmzContentSHA256Mismatch", kErrorIoDevice, true},
};

}  // namespace

std::string SafeReasonText(const std::string &text) {
  constexpr size_t kMaxLength = 200;
  std::string out;
  for (unsigned char c : text) {
    if (out.size() == kMaxLength) break;
    out += (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);
  }
  return out;
}

S3Failure FailureFromReply(long status, const S3ErrorReply &reply) {
  S3Failure failure;
  bool known = false;
  for (const CodeMeaning &meaning : kMeanings) {
    if (reply.code == meaning.s3_code) {
      failure.code = meaning.code;
      failure.retry = meaning.retry;
      known = true;
      break;
    }
  }
  if (!known) {
    // A reply without a document (HEAD has none) is read by its status.
    if (status == 404) {
      failure.code = kErrorFileNotFound;
    } else if (status == 401 || status == 403) {
      failure.code = kErrorAccessDenied;
    } else if (status == 413 || status == 507) {
      failure.code = kErrorDiskFull;
    } else if (status >= 500 || status == 408 || status == 429) {
      failure.code = kErrorIoDevice;
      failure.retry = true;
    } else {
      failure.code = kErrorInvalidParameter;
    }
  }
  std::string text = "object store: ";
  if (!reply.code.empty()) text += reply.code + ": ";
  if (!reply.message.empty()) text += reply.message + " ";
  text += "(HTTP " + std::to_string(status) + ")";
  failure.text = SafeReasonText(text);
  if (!reply.code.empty()) {
    failure.store_reason = SafeReasonText(
        reply.message.empty() ? reply.code : reply.code + ": " + reply.message);
  }
  return failure;
}

S3Failure FailureFromTransport(bool retry, const std::string &detail) {
  S3Failure failure;
  failure.code = kErrorNetwork;
  failure.retry = retry;
  failure.text = SafeReasonText("object store not reached: " + detail);
  return failure;
}

uint32_t RetryDelayMs(int retry) {
  constexpr uint32_t kFirst = 250;
  constexpr uint32_t kLongest = 8000;
  if (retry < 1) return 0;
  uint32_t delay = kFirst;
  for (int i = 1; i < retry && delay < kLongest; ++i) delay *= 2;
  return delay < kLongest ? delay : kLongest;
}

}  // namespace kor
