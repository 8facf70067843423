// The SHA-256 digests of format version 3: each data frame's digest, and
// the two seals of the trailers, which are hashes of hashes so that the
// bulk of the hashing (the payloads, the input's chunks) can run on many
// threads and only 32 bytes per frame or chunk are hashed in order.
#ifndef KORBR_CLI_STREAM_SEALS_H_
#define KORBR_CLI_STREAM_SEALS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/format/sha256.h"

namespace kor {
namespace cli {

// The frame digest of a version-3 frame whose payload has SHA-256
// `payload_digest`: the SHA-256 of the frame's bytes 0..95 and that digest.
Sha256Digest FrameDigestOf(const uint8_t *frame,
                           const Sha256Digest &payload_digest);
// Hashes the payload of a version-3 frame whose header fields are in place
// and writes the frame digest into it.  Returns the payload's SHA-256.
Sha256Digest StampFrameDigest(uint8_t *frame);
// The payload length a version-3 frame of `size` bytes names, cut to what
// fits (an impossible length is damage the frame's own checks name; the
// digest of what fits simply does not match).
uint32_t PayloadLengthOf(const uint8_t *frame, size_t size);
// The SHA-256 of that payload.
Sha256Digest PayloadDigestOf(const uint8_t *frame, size_t size);
// Whether the digest a version-3 frame carries matches its header fields
// and a payload of SHA-256 `payload_digest`; false with the reason.
bool FrameDigestMatches(const uint8_t *frame,
                        const Sha256Digest &payload_digest, std::string *why);

// A seal: digests added in sequence order, closed with the numbers that
// tell how many bytes or frames they stand for.
class SealChain {
 public:
  void Add(const Sha256Digest &digest) {
    sha_.Update(digest.data(), digest.size());
    ++count_;
  }
  uint64_t count() const { return count_; }
  // The stored seal: the frame digests added, then their number.
  Sha256Digest FinishStored();
  // The content seal: the chunk digests added, then the input's length and
  // the chunk size.
  Sha256Digest FinishContent(uint64_t input_length, uint32_t chunk_size);

 private:
  Sha256 sha_;
  uint64_t count_ = 0;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_STREAM_SEALS_H_
