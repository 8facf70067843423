#include "os/objstore/s3_settings.h"

#include <cstdlib>

#include "os/win32_codes.h"

namespace kor {
namespace {

constexpr int kMaxRetries = 20;

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
