// The stream trailer: the last request of every stripe.
#include "cli/format/stream_format.h"

#include <cstring>
#include <string>

#include "cli/format/stream_bytes.h"

namespace kor {
namespace cli {

using namespace stream_bytes;

void EncodeTrailer(const StreamTrailer &trailer, uint8_t *out) {
  std::memset(out, 0, trailer.request_size);
  PutStripeFields(trailer, kTrailerMagic, out);
  Put64(out + 40, trailer.total_bytes);
  Put64(out + 48, trailer.total_frames);
  Put64(out + 56, trailer.stripe_frames);
  std::memcpy(out + 64, trailer.stream_digest.data(), 32);
  if (trailer.version >= 2) Put64(out + 96, trailer.stored_bytes);
  if (trailer.version >= 3) {
    Put32(out + kTrailerChunkSizeOffset, trailer.chunk_size);
    std::memcpy(out + kTrailerStoredSealOffset, trailer.stored_seal.data(), 32);
    std::memcpy(out + kSealedBlockOffset, trailer.sealed_block.data(),
                trailer.sealed_block.size());
  }
  SealRecord(out, trailer.version);
}

bool DecodeTrailer(const uint8_t *data, size_t size, StreamTrailer *trailer,
                   std::string *why) {
  if (size < kSealEnd || std::memcmp(data, kTrailerMagic, 8) != 0) {
    return Fail(why, "the request is not a korbr stream trailer");
  }
  if (!RecordSealIntact(data, size)) {
    return Fail(why, "the stream trailer is damaged");
  }
  StreamTrailer t;
  GetStripeFields(data, &t);
  t.total_bytes = Get64(data + 40);
  t.total_frames = Get64(data + 48);
  t.stripe_frames = Get64(data + 56);
  std::memcpy(t.stream_digest.data(), data + 64, 32);
  t.stored_bytes = t.version >= 2 ? Get64(data + 96) : t.total_bytes;
  if (t.version >= 3) {
    t.chunk_size = Get32(data + kTrailerChunkSizeOffset);
    std::memcpy(t.stored_seal.data(), data + kTrailerStoredSealOffset, 32);
    std::memcpy(t.sealed_block.data(), data + kSealedBlockOffset,
                t.sealed_block.size());
  }
  if (!CheckCommonFields("the stream trailer", t.version, t.stripe_count,
                         t.stripe_index, t.request_size, why)) {
    return false;
  }
  if (t.request_size != size) {
    return Fail(why,
                "the stream trailer's request size differs from the "
                "size it was read with");
  }
  if (t.total_frames == 0 ||
      t.stripe_frames !=
          FramesOnStripe(t.total_frames, t.stripe_count, t.stripe_index)) {
    return Fail(why, "the stream trailer's frame counts contradict each other");
  }
  *trailer = t;
  return true;
}

}  // namespace cli
}  // namespace kor
