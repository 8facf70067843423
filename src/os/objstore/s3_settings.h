// Where objects go and with whose key: read from the usual environment
// variables when a volume is opened.
//
//   AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY   the key (both required)
//   AWS_SESSION_TOKEN                          a temporary key's token
//   AWS_ENDPOINT_URL                           http(s)://host[:port] of an
//                                              S3-compatible store (path-
//                                              style); unset: Amazon S3
//   AWS_REGION, else AWS_DEFAULT_REGION        default us-east-1
//   AWS_CA_BUNDLE                              certificates to trust
//                                              instead of the system's
//   KOR_S3_RETRIES                             repeats of a failed request
//                                              (0 to 20, default 5)
//   KOR_S3_PART_SIZE                           MiB in one part, uploaded
//                                              or fetched by one ranged
//                                              GET (5 to 256, default 12)
//   KOR_S3_CONCURRENCY                         parts of one object on
//                                              their way at once, each on
//                                              its own connection (1 to
//                                              16, default 1)
//
// A backup stripe holds KOR_S3_CONCURRENCY + 1 part buffers (the parts on
// their way and the one filling), and so does a restore stripe (the parts
// on their way and the one being read).  With the defaults that is 24 MiB
// a stripe either way, so 32 stripes stay under 1 GiB.  (Parts grow by
// the part size every 1000 parts, so an object past 1000 parts holds
// more: see PartSize.)
//
// The secret and the token stay in this record and in libcurl's signing;
// no message, trace or reason text ever holds them.
#ifndef KORBR_OS_OBJSTORE_S3_SETTINGS_H_
#define KORBR_OS_OBJSTORE_S3_SETTINGS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "os/objstore/s3_names.h"

namespace kor {

// Chosen with bench/objstore_bench.sh --rclone against the local test
// store (256 MiB, 1 and 4 stripes, medians of 3, korbr/rclone rate ratios
// backup / restore for 1 stripe): 8 MiB x 2 at once 1.44 / 0.79-0.83
// (the one restore below 1.0, not explained), 6 x 3 1.54 / 1.12, 12 x 1 1.72 / 1.21, 16 x 2 1.57 /
// 1.47, 32 x 2 1.34 / 1.27, 16 x 4 1.24 / 1.86.  The larger settings hold
// 48 to 80 MiB a stripe, which 32 stripes cannot afford under 1 GiB; of
// those that hold 24 MiB, 12 MiB parts one at a time moved the most.
constexpr size_t kDefaultPartBytes = 12u << 20;
constexpr int kDefaultConcurrency = 1;

struct S3Settings {
  std::string access_key;
  std::string secret_key;
  std::string session_token;
  std::string region;
  std::string ca_bundle;
  Endpoint endpoint;
  int retries = 5;
  size_t part_bytes = kDefaultPartBytes;
  int concurrency = kDefaultConcurrency;
};

// Reads the settings through `lookup` (name → value, false when unset).
// 0, or a Win32 code with *why set: 5 without a key, 87 for an endpoint,
// retry count, part size or concurrency that cannot be used.
uint32_t ReadS3Settings(
    const std::function<bool(const char *, std::string *)> &lookup,
    S3Settings *settings, std::string *why);

// ReadS3Settings from the process environment.
uint32_t LoadS3Settings(S3Settings *settings, std::string *why);

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_S3_SETTINGS_H_
