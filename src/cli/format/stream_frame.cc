// The data frames between a stripe's header and its trailer.
#include "cli/format/stream_format.h"

// The streaming state on the stack needs the state record's layout.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <cstring>
#include <string>

#include "cli/format/stream_bytes.h"
#include "cli/format/stream_seals.h"

namespace kor {
namespace cli {

using namespace stream_bytes;

uint64_t FrameChecksum(const uint8_t *frame, uint32_t payload_length) {
  XXH3_state_t state;
  XXH3_INITSTATE(&state);
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, frame, 40);
  XXH3_64bits_update(&state, frame + kFrameHeaderSize, payload_length);
  return XXH3_64bits_digest(&state);
}

void SealFrame(const FrameHeader &header, uint8_t *frame, uint32_t request_size,
               uint32_t version) {
  std::memcpy(frame, kFrameMagic, 8);
  std::memcpy(frame + 8, header.backup_id.data(), 16);
  Put64(frame + 24, header.sequence);
  Put32(frame + 32, header.payload_length);
  Put32(frame + 36, (header.last ? kFrameLastFlag : 0) |
                        (header.encrypted ? kFrameEncryptedFlag : 0));
  const size_t used = FrameHeaderSizeOf(version) + header.payload_length;
  if (used < request_size) std::memset(frame + used, 0, request_size - used);
  if (version >= 3) {
    std::memcpy(frame + kFrameTagOffset, header.tag.data(), kFrameTagSize);
    std::memset(frame + kFrameTagOffset + kFrameTagSize, 0,
                kFrameHeaderSizeV3 - kFrameTagOffset - kFrameTagSize);
    return;  // the frame digest is stamped where the frame is written
  }
  Put64(frame + 40,
        version >= 2 ? FrameChecksum(frame, header.payload_length) : 0);
}

bool FrameIntact(uint32_t version, const uint8_t *data, size_t size,
                 std::string *why) {
  if (version < 2 || size < kMinRequestSize ||
      std::memcmp(data, kFrameMagic, 8) != 0) {
    return true;
  }
  if (version >= 3) {
    return FrameDigestMatches(data, PayloadDigestOf(data, size), why);
  }
  const uint32_t length = Get32(data + 32);
  if (length > FramePayloadCapacity(static_cast<uint32_t>(size))) {
    return true;  // the checker names an impossible length
  }
  if (FrameChecksum(data, length) == Get64(data + 40)) return true;
  return Fail(why, Format("frame %llu is damaged: its checksum does not "
                          "match its bytes",
                          Get64(data + 24)));
}

RequestKind ClassifyRequest(const uint8_t *data, size_t size) {
  if (size < kSealEnd) return RequestKind::kUnknown;
  if (std::memcmp(data, kFrameMagic, 8) == 0) return RequestKind::kFrame;
  if (std::memcmp(data, kTrailerMagic, 8) == 0) return RequestKind::kTrailer;
  return RequestKind::kUnknown;
}

bool DecodeFrameHeader(uint32_t version, const uint8_t *data, size_t size,
                       FrameHeader *header, std::string *why) {
  if (size < kMinRequestSize || std::memcmp(data, kFrameMagic, 8) != 0) {
    return Fail(why, "the request is not a korbr data frame");
  }
  FrameHeader f;
  std::memcpy(f.backup_id.data(), data + 8, 16);
  f.sequence = Get64(data + 24);
  f.payload_length = Get32(data + 32);
  const uint32_t flags = Get32(data + 36);
  f.last = (flags & kFrameLastFlag) != 0;
  uint32_t known = kFrameLastFlag;
  if (version >= 3) {
    known |= kFrameEncryptedFlag;
    f.encrypted = (flags & kFrameEncryptedFlag) != 0;
    std::memcpy(f.tag.data(), data + kFrameTagOffset, kFrameTagSize);
    std::memcpy(f.digest.data(), data + kFrameDigestOffset, 32);
  } else {
    f.checksum = Get64(data + 40);
  }
  if ((flags & ~known) != 0 ||
      f.payload_length >
          FramePayloadCapacity(static_cast<uint32_t>(size), version)) {
    return Fail(why, Format("the data frame with sequence number %llu is "
                            "damaged (payload length %llu, flags %llu)",
                            f.sequence, f.payload_length, flags));
  }
  *header = f;
  return true;
}

}  // namespace cli
}  // namespace kor
