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
//
// The secret and the token stay in this record and in libcurl's signing;
// no message, trace or reason text ever holds them.
#ifndef KORBR_OS_OBJSTORE_S3_SETTINGS_H_
#define KORBR_OS_OBJSTORE_S3_SETTINGS_H_

#include <cstdint>
#include <functional>
#include <string>

#include "os/objstore/s3_names.h"

namespace kor {

struct S3Settings {
  std::string access_key;
  std::string secret_key;
  std::string session_token;
  std::string region;
  std::string ca_bundle;
  Endpoint endpoint;
  int retries = 5;
};

// Reads the settings through `lookup` (name → value, false when unset).
// 0, or a Win32 code with *why set: 5 without a key, 87 for an endpoint or
// retry count that cannot be used.
uint32_t ReadS3Settings(
    const std::function<bool(const char *, std::string *)> &lookup,
    S3Settings *settings, std::string *why);

// ReadS3Settings from the process environment.
uint32_t LoadS3Settings(S3Settings *settings, std::string *why);

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_S3_SETTINGS_H_
