#include "os/objstore/s3_names.h"

#include <algorithm>
#include <cctype>

namespace kor {
namespace {

bool StartsWithNoCase(const std::string &text, const char *prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size() ||
        std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  }
  return true;
}

bool IsBucketCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

// A bucket that can be the first label of a host name: no dots (they
// would break the certificate's wildcard), no upper case, no '_'.
bool FitsHostName(const std::string &bucket) {
  for (char c : bucket) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
      return false;
  }
  return true;
}

}  // namespace

bool ParseObjectUrl(const std::string &url, ObjectLocation *location) {
  constexpr size_t kSchemeLength = 5;  // "s3://"
  if (!StartsWithNoCase(url, "s3://")) return false;
  const size_t slash = url.find('/', kSchemeLength);
  if (slash == std::string::npos) return false;
  std::string bucket = url.substr(kSchemeLength, slash - kSchemeLength);
  std::string key = url.substr(slash + 1);
  if (bucket.size() < 3 || bucket.size() > 63 || key.empty()) return false;
  if (!std::all_of(bucket.begin(), bucket.end(), IsBucketCharacter))
    return false;
  location->bucket = std::move(bucket);
  location->key = std::move(key);
  return true;
}

bool MakeEndpoint(const std::string &url, const std::string &region,
                  Endpoint *endpoint) {
  if (url.empty()) {
    endpoint->base = "https://s3." + region + ".amazonaws.com";
    endpoint->path_style = false;
    return true;
  }
  size_t host = 0;
  if (StartsWithNoCase(url, "http://")) {
    host = 7;
  } else if (StartsWithNoCase(url, "https://")) {
    host = 8;
  } else {
    return false;
  }
  std::string base = url;
  while (base.size() > host && base.back() == '/') base.pop_back();
  // Only a host and port: a path, query or user part would change what
  // is signed, and a request could go somewhere other than intended.
  if (base.size() == host ||
      base.find_first_of("/?#@ ", host) != std::string::npos)
    return false;
  endpoint->base = base;
  endpoint->path_style = true;
  return true;
}

std::string UriEncode(const std::string &text, bool keep_slash) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
        c == '~' || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string CanonicalQuery(QueryParams params) {
  for (auto &param : params) {
    param.first = UriEncode(param.first, false);
    param.second = UriEncode(param.second, false);
  }
  std::sort(params.begin(), params.end());
  std::string out;
  for (const auto &param : params) {
    if (!out.empty()) out += '&';
    out += param.first;
    out += '=';
    out += param.second;
  }
  return out;
}

std::string RequestUrl(const Endpoint &endpoint, const std::string &bucket,
                       const std::string &key, const QueryParams &query) {
  std::string url;
  if (endpoint.path_style || !FitsHostName(bucket)) {
    url = endpoint.base + "/" + UriEncode(bucket, false);
  } else {
    // "https://s3.REGION..." becomes "https://BUCKET.s3.REGION...".
    const size_t host = endpoint.base.find("://") + 3;
    url = endpoint.base.substr(0, host) + bucket + "." +
          endpoint.base.substr(host);
  }
  if (!key.empty() || !endpoint.path_style) url += "/" + UriEncode(key, true);
  if (!query.empty()) url += "?" + CanonicalQuery(query);
  return url;
}

}  // namespace kor
