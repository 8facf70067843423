// SHA-256 (FIPS 180-4), written here so that the host needs no library
// beyond the language's own.  Incremental: feed the stream in pieces of any
// size, then take the 32-byte digest.
//
// The restore trusts a backup only when the digest of the stream it
// reassembled equals the digest the backup recorded, so this must be exact;
// it is checked against the FIPS 180 test vectors.  On x86 processors with
// the SHA extensions the block function uses them (several times faster,
// which matters because every byte of a backup passes through here); the
// portable block function is used everywhere else and can be asked for.
#ifndef KORBR_CLI_SHA256_H_
#define KORBR_CLI_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kor {
namespace cli {

using Sha256Digest = std::array<uint8_t, 32>;

enum class Sha256Engine {
  kFastest,   // the processor's SHA instructions when it has them
  kPortable,  // plain C++ on every processor
};

class Sha256 {
 public:
  explicit Sha256(Sha256Engine engine = Sha256Engine::kFastest);
  // Adds `length` bytes of the message.
  void Update(const void *data, size_t length);
  // Pads the message and returns its digest.  The object then starts over
  // with an empty message.
  Sha256Digest Finish();
  // True when this object compresses with the processor's SHA instructions.
  bool UsesCpuInstructions() const { return accelerated_; }

 private:
  void Reset();
  void Compress(const uint8_t *blocks, size_t count);

  bool accelerated_;      // fixed at construction
  uint32_t state_[8];     // the chaining value
  uint64_t total_bytes_;  // message length so far
  uint8_t pending_[64];   // a started block
  size_t pending_bytes_;  // bytes used in pending_
};

// The digest of one buffer.
Sha256Digest Sha256Of(const void *data, size_t length);

// Lower-case hexadecimal text of a digest (64 characters).
std::string DigestHex(const Sha256Digest &digest);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SHA256_H_
