// SHA-256 on libcrypto's EVP interface.
#include "cli/format/sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

namespace kor {
namespace cli {
namespace {

[[noreturn]] void CryptoFailed(const char *what) {
  std::fprintf(stderr, "korbr: libcrypto: %s failed\n", what);
  std::abort();
}

}  // namespace

struct Sha256::Context {
  Context() : md(EVP_MD_CTX_new()) {
    if (md == nullptr) CryptoFailed("EVP_MD_CTX_new");
    Start();
  }
  ~Context() { EVP_MD_CTX_free(md); }
  void Start() {
    if (EVP_DigestInit_ex(md, EVP_sha256(), nullptr) != 1) {
      CryptoFailed("EVP_DigestInit_ex");
    }
  }
  EVP_MD_CTX *md;
};

Sha256::Sha256() : context_(new Context) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256 &&) noexcept = default;
Sha256 &Sha256::operator=(Sha256 &&) noexcept = default;

void Sha256::Update(const void *data, size_t length) {
  if (length == 0) return;
  if (EVP_DigestUpdate(context_->md, data, length) != 1) {
    CryptoFailed("EVP_DigestUpdate");
  }
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context_->md, digest.data(), &size) != 1 ||
      size != digest.size()) {
    CryptoFailed("EVP_DigestFinal_ex");
  }
  context_->Start();
  return digest;
}

Sha256Digest Sha256Of(const void *data, size_t length) {
  Sha256 sha;
  sha.Update(data, length);
  return sha.Finish();
}

std::string HexOf(const uint8_t *bytes, size_t length) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (size_t i = 0; i < length; ++i) {
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 15]);
  }
  return text;
}

std::string DigestHex(const Sha256Digest &digest) {
  return HexOf(digest.data(), digest.size());
}

}  // namespace cli
}  // namespace kor
