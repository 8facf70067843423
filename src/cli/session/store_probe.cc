// One signed GET to learn an object store's error code and message.
#include "cli/session/store_probe.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef KORBR_CLI_STORE_PROBE
#include <curl/curl.h>
#endif

namespace kor {
namespace cli {
namespace {

// How the library words a store's reply without an error document.
constexpr char kBareReply[] = "object store: (HTTP ";
constexpr char kScheme[] = "s3://";

#ifdef KORBR_CLI_STORE_PROBE
// The SHA-256 of an empty payload, which S3 wants named with SigV4.
constexpr char kEmptySha256[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr size_t kMaxBody = 16384;

std::string Environment(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

// `key` as a URL path: unreserved characters and '/' as they are, the
// rest percent-encoded.
std::string EncodePath(const std::string &key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : key) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        (c >= '0' && c <= '9') || std::strchr("-._~/", c) != nullptr) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// The text of the first <TAG>...</TAG> in `xml`, "" when there is none.
// The five predefined entities are decoded; anything else stays as sent.
std::string ElementText(const std::string &xml, const std::string &tag) {
  const size_t open = xml.find("<" + tag + ">");
  if (open == std::string::npos) return "";
  const size_t start = open + tag.size() + 2;
  const size_t close = xml.find("</" + tag + ">", start);
  if (close == std::string::npos) return "";
  std::string text = xml.substr(start, close - start);
  static const char *const kEntities[][2] = {{"&lt;", "<"},
                                             {"&gt;", ">"},
                                             {"&quot;", "\""},
                                             {"&apos;", "'"},
                                             {"&amp;", "&"}};
  for (const auto &entity : kEntities) {
    for (size_t at = text.find(entity[0]); at != std::string::npos;
         at = text.find(entity[0], at + 1)) {
      text.replace(at, std::strlen(entity[0]), entity[1]);
    }
  }
  return text;
}

size_t KeepBody(char *data, size_t size, size_t count, void *context) {
  auto *body = static_cast<std::string *>(context);
  const size_t length = size * count;
  if (body->size() < kMaxBody) {
    body->append(data, std::min(length, kMaxBody - body->size()));
  }
  return length;
}

// Printable ASCII only, at most 200 characters: the store's words go on
// the operator's terminal.
std::string Printable(const std::string &text) {
  std::string out;
  for (const unsigned char c : text) {
    if (out.size() == 200) break;
    out += (c < 0x20 || c > 0x7e) ? ' ' : static_cast<char>(c);
  }
  return out;
}
#endif

}  // namespace

std::string UnexplainedStoreObject(const std::string &text) {
  if (text.find(kBareReply) == std::string::npos) return "";
  const size_t start = text.find(kScheme);
  if (start == std::string::npos) return "";
  const size_t end = text.find(": ", start);
  return text.substr(start, end == std::string::npos ? std::string::npos
                                                     : end - start);
}

std::string AskStoreWhy(const std::string &object) {
#ifdef KORBR_CLI_STORE_PROBE
  if (object.compare(0, std::strlen(kScheme), kScheme) != 0) return "";
  const std::string path = object.substr(std::strlen(kScheme));
  const size_t slash = path.find('/');
  if (slash == std::string::npos || slash == 0) return "";
  const std::string bucket = path.substr(0, slash);
  const std::string key = path.substr(slash + 1);
  const std::string access_key = Environment("AWS_ACCESS_KEY_ID");
  const std::string secret_key = Environment("AWS_SECRET_ACCESS_KEY");
  if (access_key.empty() || secret_key.empty()) return "";
  std::string region = Environment("AWS_REGION");
  if (region.empty()) region = Environment("AWS_DEFAULT_REGION");
  if (region.empty()) region = "us-east-1";
  std::string endpoint = Environment("AWS_ENDPOINT_URL");
  while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
  // A store of its own is addressed path-style, as the library does.
  const std::string url =
      endpoint.empty() ? "https://" + bucket + ".s3." + region +
                             ".amazonaws.com/" + EncodePath(key)
                       : endpoint + "/" + bucket + "/" + EncodePath(key);

  CURL *curl = curl_easy_init();
  if (curl == nullptr) return "";
  std::string body;
  const std::string credentials = access_key + ":" + secret_key;
  const std::string signing = "aws:amz:" + region + ":s3";
  struct curl_slist *headers = nullptr;
  headers = curl_slist_append(
      headers, (std::string("x-amz-content-sha256: ") + kEmptySha256).c_str());
  const std::string token = Environment("AWS_SESSION_TOKEN");
  if (!token.empty()) {
    headers =
        curl_slist_append(headers, ("x-amz-security-token: " + token).c_str());
  }
  headers = curl_slist_append(headers, "Range: bytes=0-0");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, signing.c_str());
  curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KeepBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  const std::string ca_bundle = Environment("AWS_CA_BUNDLE");
  if (!ca_bundle.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_bundle.c_str());
  const CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (result != CURLE_OK || status < 400) return "";
  const std::string code = ElementText(body, "Code");
  if (code.empty()) return "";
  const std::string message = ElementText(body, "Message");
  return Printable(message.empty() ? code : code + ": " + message);
#else
  (void)object;
  return "";
#endif
}

}  // namespace cli
}  // namespace kor
