// Advice on object store failures.
#include "cli/session/store_advice.h"

namespace kor {
namespace cli {
namespace {

// How the library words a request that got no answer from the store.
constexpr char kNotReached[] = "object store not reached: ";
// How it words a reply without an error document.
constexpr char kBareReply[] = "object store: (HTTP ";
constexpr char kScheme[] = "s3://";

bool Contains(const std::string &text, const char *part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

std::string StoreFailureAdvice(const std::string &text,
                               const std::string &ca_bundle) {
  const size_t at = text.find(kNotReached);
  if (at == std::string::npos) return "";
  // libcurl's words for a TLS handshake or a certificate it refused.
  const std::string detail = text.substr(at);
  if (!Contains(detail, "SSL") && !Contains(detail, "TLS") &&
      !Contains(detail, "certificate")) {
    return "";
  }
  if (ca_bundle.empty()) {
    return "the TLS connection to the store failed: when a private "
           "certificate authority signed the store's certificate, set "
           "AWS_CA_BUNDLE to that authority's certificate file (PEM)";
  }
  return "the TLS connection to the store failed with AWS_CA_BUNDLE=" +
         ca_bundle +
         ": check that the endpoint speaks https and that this file holds "
         "the certificate of the authority that signed the store's (PEM)";
}

std::string UnexplainedStoreObject(const std::string &text) {
  if (!Contains(text, kBareReply)) return "";
  const size_t start = text.find(kScheme);
  if (start == std::string::npos) return "";
  const size_t end = text.find(": ", start);
  return text.substr(start, end == std::string::npos ? std::string::npos
                                                     : end - start);
}

}  // namespace cli
}  // namespace kor
