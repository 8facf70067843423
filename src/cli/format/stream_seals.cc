#include "cli/format/stream_seals.h"

#include <cstring>
#include <string>

#include "cli/format/stream_bytes.h"
#include "cli/format/stream_format.h"

namespace kor {
namespace cli {

using namespace stream_bytes;

Sha256Digest FrameDigestOf(const uint8_t *frame,
                           const Sha256Digest &payload_digest) {
  uint8_t message[kFrameDigestOffset + 32];
  std::memcpy(message, frame, kFrameDigestOffset);
  std::memcpy(message + kFrameDigestOffset, payload_digest.data(), 32);
  return Sha256Of(message, sizeof message);
}

Sha256Digest StampFrameDigest(uint8_t *frame) {
  const Sha256Digest payload =
      Sha256Of(frame + kFrameHeaderSizeV3, Get32(frame + 32));
  const Sha256Digest digest = FrameDigestOf(frame, payload);
  std::memcpy(frame + kFrameDigestOffset, digest.data(), digest.size());
  return payload;
}

uint32_t PayloadLengthOf(const uint8_t *frame, size_t size) {
  const uint32_t length = Get32(frame + 32);
  const uint32_t capacity = static_cast<uint32_t>(size) - kFrameHeaderSizeV3;
  return length > capacity ? capacity : length;
}

Sha256Digest PayloadDigestOf(const uint8_t *frame, size_t size) {
  return Sha256Of(frame + kFrameHeaderSizeV3, PayloadLengthOf(frame, size));
}

bool FrameDigestMatches(const uint8_t *frame,
                        const Sha256Digest &payload_digest, std::string *why) {
  const Sha256Digest digest = FrameDigestOf(frame, payload_digest);
  if (std::memcmp(frame + kFrameDigestOffset, digest.data(), 32) == 0) {
    return true;
  }
  return Fail(why, Format("frame %llu is damaged: its SHA-256 does not match "
                          "its bytes",
                          Get64(frame + 24)));
}

Sha256Digest SealChain::FinishStored() {
  uint8_t tail[8];
  Put64(tail, count_);
  sha_.Update(tail, sizeof tail);
  count_ = 0;
  return sha_.Finish();
}

Sha256Digest SealChain::FinishContent(uint64_t input_length,
                                      uint32_t chunk_size) {
  uint8_t tail[16];
  Put64(tail, input_length);
  Put64(tail + 8, chunk_size);
  sha_.Update(tail, sizeof tail);
  count_ = 0;
  return sha_.Finish();
}

}  // namespace cli
}  // namespace kor
