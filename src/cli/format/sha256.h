// SHA-256 through OpenSSL's libcrypto (EVP), which carries the processor's
// SHA instructions where there are any.  Incremental: feed the stream in
// pieces of any size, then take the 32-byte digest.
//
// The restore trusts a backup only when the digest of the stream it
// reassembled equals the digest the backup recorded.  libcrypto failing to
// set up a digest context is an out-of-memory condition korbr cannot go on
// from, so it ends the process with a message instead of hashing wrongly.
#ifndef KORBR_CLI_SHA256_H_
#define KORBR_CLI_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kor {
namespace cli {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256 &&) noexcept;
  Sha256 &operator=(Sha256 &&) noexcept;
  Sha256(const Sha256 &) = delete;
  Sha256 &operator=(const Sha256 &) = delete;

  // Adds `length` bytes of the message.
  void Update(const void *data, size_t length);
  // Pads the message and returns its digest.  The object then starts over
  // with an empty message.
  Sha256Digest Finish();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

// The digest of one buffer.
Sha256Digest Sha256Of(const void *data, size_t length);

// Lower-case hexadecimal text of `length` bytes, two characters each.
std::string HexOf(const uint8_t *bytes, size_t length);

// Lower-case hexadecimal text of a digest (64 characters).
std::string DigestHex(const Sha256Digest &digest);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SHA256_H_
