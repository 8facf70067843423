#include "os/objstore/s3_settings.h"

#include <cstdlib>

#include "os/win32_codes.h"

namespace kor {
namespace {

constexpr int kMaxRetries = 20;
constexpr long kMaxPartMiB = 256;
constexpr long kMaxConcurrency = 16;

// Whole numbers only: a typo must not pass for a different setting.
bool ParseWhole(const std::string &text, long low, long high, long *value) {
  char *end = nullptr;
  *value = std::strtol(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0' && *value >= low &&
         *value <= high;
}

bool Present(const std::function<bool(const char *, std::string *)> &lookup,
             const char *name, std::string *value) {
  return lookup(name, value) && !value->empty();
}

}  // namespace

uint32_t ReadS3Settings(
    const std::function<bool(const char *, std::string *)> &lookup,
    S3Settings *settings, std::string *why) {
  if (!Present(lookup, "AWS_ACCESS_KEY_ID", &settings->access_key) ||
      !Present(lookup, "AWS_SECRET_ACCESS_KEY", &settings->secret_key)) {
    *why = "object store: no key (AWS_ACCESS_KEY_ID and "
           "AWS_SECRET_ACCESS_KEY must both be set)";
    return kErrorAccessDenied;
  }
  if (!Present(lookup, "AWS_SESSION_TOKEN", &settings->session_token))
    settings->session_token.clear();
  if (!Present(lookup, "AWS_REGION", &settings->region) &&
      !Present(lookup, "AWS_DEFAULT_REGION", &settings->region))
    settings->region = "us-east-1";
  if (!Present(lookup, "AWS_CA_BUNDLE", &settings->ca_bundle))
    settings->ca_bundle.clear();
  std::string endpoint;
  if (!Present(lookup, "AWS_ENDPOINT_URL", &endpoint)) endpoint.clear();
  if (!MakeEndpoint(endpoint, settings->region, &settings->endpoint)) {
    *why = "object store: AWS_ENDPOINT_URL is not http(s)://host[:port]";
    return kErrorInvalidParameter;
  }
  std::string retries;
  settings->retries = 5;
  if (Present(lookup, "KOR_S3_RETRIES", &retries)) {
    char *end = nullptr;
    const long value = std::strtol(retries.c_str(), &end, 10);
    if (*end != '\0' || value < 0 || value > kMaxRetries) {
      *why = "object store: KOR_S3_RETRIES is not a number from 0 to 20";
      return kErrorInvalidParameter;
    }
    settings->retries = static_cast<int>(value);
  }
  std::string text;
  long value = 0;
  settings->part_bytes = kDefaultPartBytes;
  if (Present(lookup, "KOR_S3_PART_SIZE", &text)) {
    // S3 takes parts of 5 MiB and more (but the last); 512 MiB bounds what
    // a stripe holds, and ten times it (the last thousand parts) 32 bits.
    if (!ParseWhole(text, 5, kMaxPartMiB, &value)) {
      *why = "object store: KOR_S3_PART_SIZE is not a number of MiB from 5 "
             "to 256";
      return kErrorInvalidParameter;
    }
    settings->part_bytes = static_cast<size_t>(value) << 20;
  }
  settings->concurrency = kDefaultConcurrency;
  if (Present(lookup, "KOR_S3_CONCURRENCY", &text)) {
    if (!ParseWhole(text, 1, kMaxConcurrency, &value)) {
      *why = "object store: KOR_S3_CONCURRENCY is not a number from 1 to 16";
      return kErrorInvalidParameter;
    }
    settings->concurrency = static_cast<int>(value);
  }
  return 0;
}

uint32_t LoadS3Settings(S3Settings *settings, std::string *why) {
  return ReadS3Settings(
      [](const char *name, std::string *value) {
        const char *text = std::getenv(name);
        if (text == nullptr) return false;
        *value = text;
        return true;
      },
      settings, why);
}

}  // namespace kor
