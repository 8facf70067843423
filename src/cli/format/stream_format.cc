// Encoding, decoding and checking of the per-stripe stream format (layout
// in the header file).
#include "cli/format/stream_format.h"

// The streaming state on the stack needs the state record's layout.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <cstdio>
#include <cstring>

namespace kor {
namespace cli {
namespace {

constexpr char kHeaderMagic[8] = {'K', 'O', 'R', 'B', 'R', 'S', 'T', 'R'};
constexpr char kFrameMagic[8] = {'K', 'O', 'R', 'B', 'R', 'D', 'A', 'T'};
constexpr char kTrailerMagic[8] = {'K', 'O', 'R', 'B', 'R', 'E', 'N', 'D'};
constexpr size_t kSealedCore = 128;  // bytes covered by a record's seal
constexpr size_t kSealEnd = 160;     // the seal ends here

void Put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t Get64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void Seal(uint8_t *record) {
  Sha256Digest seal = Sha256Of(record, kSealedCore);
  std::memcpy(record + kSealedCore, seal.data(), seal.size());
}
bool SealIntact(const uint8_t *record) {
  Sha256Digest seal = Sha256Of(record, kSealedCore);
  return std::memcmp(record + kSealedCore, seal.data(), seal.size()) == 0;
}

std::string Format(const char *format, unsigned long long a,
                   unsigned long long b = 0, unsigned long long c = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

bool Fail(std::string *why, const std::string &text) {
  if (why != nullptr) *why = text;
  return false;
}

// Shared checks of version, stripe numbers and request size.
bool CheckCommonFields(const char *what, uint32_t version, uint32_t count,
                       uint32_t index, uint32_t request_size,
                       std::string *why) {
  if (version < kOldestStreamFormat || version > kStreamFormatVersion) {
    return Fail(why,
                std::string(what) +
                    Format(" has format version %llu; this korbr reads "
                           "versions %llu to %llu",
                           version, kOldestStreamFormat, kStreamFormatVersion));
  }
  if (count < 1 || count > kMaxStripes || index >= count) {
    return Fail(why, std::string(what) +
                         Format(" names stripe %llu of %llu, which cannot be",
                                index, count));
  }
  if (request_size < kMinRequestSize || request_size > kMaxRequestSize) {
    return Fail(why, std::string(what) +
                         Format(" names a request size of %llu bytes, outside "
                                "the possible range",
                                request_size));
  }
  return true;
}

}  // namespace

uint64_t FramesOnStripe(uint64_t total_frames, uint32_t stripe_count,
                        uint32_t stripe) {
  if (stripe_count == 0) return 0;
  return total_frames / stripe_count +
         (stripe < total_frames % stripe_count ? 1 : 0);
}

void EncodeHeader(const StreamHeader &header, uint8_t *out) {
  std::memset(out, 0, kHeaderRequestSize);
  std::memcpy(out, kHeaderMagic, 8);
  Put32(out + 8, header.version);
  Put32(out + 12, header.stripe_count);
  Put32(out + 16, header.stripe_index);
  Put32(out + 20, header.request_size);
  std::memcpy(out + 24, header.backup_id.data(), 16);
  Put64(out + 40, header.created);
  std::memcpy(out + 48, header.dbname.data(),
              std::min(header.dbname.size(), kMaxDbNameLength));
  Put32(out + 80, static_cast<uint32_t>(header.compression));
  Seal(out);
}

void EncodeTrailer(const StreamTrailer &trailer, uint8_t *out) {
  std::memset(out, 0, trailer.request_size);
  std::memcpy(out, kTrailerMagic, 8);
  Put32(out + 8, trailer.version);
  Put32(out + 12, trailer.stripe_count);
  Put32(out + 16, trailer.stripe_index);
  Put32(out + 20, trailer.request_size);
  std::memcpy(out + 24, trailer.backup_id.data(), 16);
  Put64(out + 40, trailer.total_bytes);
  Put64(out + 48, trailer.total_frames);
  Put64(out + 56, trailer.stripe_frames);
  std::memcpy(out + 64, trailer.stream_digest.data(), 32);
  if (trailer.version >= 2) Put64(out + 96, trailer.stored_bytes);
  Seal(out);
}

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
  Put32(frame + 36, header.last ? kFrameLastFlag : 0);
  const size_t used = kFrameHeaderSize + header.payload_length;
  if (used < request_size) std::memset(frame + used, 0, request_size - used);
  Put64(frame + 40,
        version >= 2 ? FrameChecksum(frame, header.payload_length) : 0);
}

bool FrameIntact(uint32_t version, const uint8_t *data, size_t size,
                 std::string *why) {
  if (version < 2 || size < kMinRequestSize ||
      std::memcmp(data, kFrameMagic, 8) != 0) {
    return true;
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

bool DecodeHeader(const uint8_t *data, size_t size, StreamHeader *header,
                  std::string *why) {
  if (size != kHeaderRequestSize || std::memcmp(data, kHeaderMagic, 8) != 0) {
    return Fail(why,
                "the first request is not a korbr stream header (the volume "
                "was not written by korbr backup, or is damaged)");
  }
  if (!SealIntact(data)) return Fail(why, "the stream header is damaged");
  StreamHeader h;
  h.version = Get32(data + 8);
  h.stripe_count = Get32(data + 12);
  h.stripe_index = Get32(data + 16);
  h.request_size = Get32(data + 20);
  std::memcpy(h.backup_id.data(), data + 24, 16);
  h.created = Get64(data + 40);
  const char *name = reinterpret_cast<const char *>(data + 48);
  h.dbname.assign(name, strnlen(name, kMaxDbNameLength));
  const uint32_t compression = Get32(data + 80);
  if (!CheckCommonFields("the stream header", h.version, h.stripe_count,
                         h.stripe_index, h.request_size, why)) {
    return false;
  }
  if (compression > static_cast<uint32_t>(Compression::kZstd) ||
      (h.version < 2 && compression != 0)) {
    return Fail(why, Format("the stream header names compression method "
                            "%llu, which this korbr does not know",
                            compression));
  }
  h.compression = static_cast<Compression>(compression);
  *header = h;
  return true;
}

bool DecodeTrailer(const uint8_t *data, size_t size, StreamTrailer *trailer,
                   std::string *why) {
  if (size < kSealEnd || std::memcmp(data, kTrailerMagic, 8) != 0) {
    return Fail(why, "the request is not a korbr stream trailer");
  }
  if (!SealIntact(data)) return Fail(why, "the stream trailer is damaged");
  StreamTrailer t;
  t.version = Get32(data + 8);
  t.stripe_count = Get32(data + 12);
  t.stripe_index = Get32(data + 16);
  t.request_size = Get32(data + 20);
  std::memcpy(t.backup_id.data(), data + 24, 16);
  t.total_bytes = Get64(data + 40);
  t.total_frames = Get64(data + 48);
  t.stripe_frames = Get64(data + 56);
  std::memcpy(t.stream_digest.data(), data + 64, 32);
  t.stored_bytes = t.version >= 2 ? Get64(data + 96) : t.total_bytes;
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

bool DecodeFrameHeader(const uint8_t *data, size_t size, FrameHeader *header,
                       std::string *why) {
  if (size < kMinRequestSize || std::memcmp(data, kFrameMagic, 8) != 0) {
    return Fail(why, "the request is not a korbr data frame");
  }
  FrameHeader f;
  std::memcpy(f.backup_id.data(), data + 8, 16);
  f.sequence = Get64(data + 24);
  f.payload_length = Get32(data + 32);
  f.checksum = Get64(data + 40);
  const uint32_t flags = Get32(data + 36);
  f.last = (flags & kFrameLastFlag) != 0;
  if ((flags & ~kFrameLastFlag) != 0 ||
      f.payload_length > FramePayloadCapacity(static_cast<uint32_t>(size))) {
    return Fail(why, Format("the data frame with sequence number %llu is "
                            "damaged (payload length %llu, flags %llu)",
                            f.sequence, f.payload_length, flags));
  }
  *header = f;
  return true;
}

std::string BackupIdHex(const BackupId &id) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : id) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 15]);
  }
  return text;
}

// ---------------------------------------------------------------- encoder

StreamEncoder::StreamEncoder(const BackupId &id, uint32_t stripe_count,
                             uint32_t request_size, uint64_t created,
                             const std::string &dbname, Compression compression)
    : id_(id),
      stripe_count_(stripe_count),
      request_size_(request_size),
      created_(created),
      dbname_(dbname),
      compression_(compression) {}

uint32_t StreamEncoder::NextStripe() const {
  return static_cast<uint32_t>(next_sequence_ % stripe_count_);
}

void StreamEncoder::EncodeHeaderFor(uint32_t stripe, uint8_t *out) const {
  StreamHeader h;
  h.stripe_count = stripe_count_;
  h.stripe_index = stripe;
  h.request_size = request_size_;
  h.backup_id = id_;
  h.created = created_;
  h.dbname = dbname_;
  h.compression = compression_;
  EncodeHeader(h, out);
}

void StreamEncoder::SealNextFrame(uint8_t *frame, uint32_t payload_length,
                                  bool last) {
  FrameHeader f;
  f.backup_id = id_;
  f.sequence = next_sequence_++;
  f.payload_length = payload_length;
  f.last = last;
  total_bytes_ += payload_length;
  SealFrame(f, frame, request_size_, kStreamFormatVersion);
}

void StreamEncoder::EncodeTrailerFor(uint32_t stripe, uint64_t input_bytes,
                                     const Sha256Digest &digest,
                                     uint8_t *out) const {
  StreamTrailer t;
  t.stripe_count = stripe_count_;
  t.stripe_index = stripe;
  t.request_size = request_size_;
  t.backup_id = id_;
  t.total_bytes = input_bytes;
  t.stored_bytes = total_bytes_;
  t.total_frames = next_sequence_;
  t.stripe_frames = FramesOnStripe(next_sequence_, stripe_count_, stripe);
  t.stream_digest = digest;
  EncodeTrailer(t, out);
}

// ---------------------------------------------------------------- checker

StreamChecker::StreamChecker(uint32_t stripes_expected)
    : stripes_expected_(stripes_expected) {}

bool StreamChecker::HaveAllHeaders() const { return headers_done_; }

uint32_t StreamChecker::NextStripe() const {
  return stripe_count_ == 0
             ? 0
             : static_cast<uint32_t>(next_sequence_ % stripe_count_);
}

bool StreamChecker::AcceptHeader(uint32_t stripe, const uint8_t *data,
                                 size_t size, std::string *why) {
  StreamHeader h;
  std::string reason;
  if (!DecodeHeader(data, size, &h, &reason)) {
    return Fail(why, Format("stripe %llu: ", stripe) + reason);
  }
  if (stripe_count_ == 0) {
    if (stripes_expected_ != 0 && h.stripe_count != stripes_expected_) {
      return Fail(why, Format(stripes_expected_ == 1
                                  ? "the backup has %llu stripes, but %llu "
                                    "device was given"
                                  : "the backup has %llu stripes, but %llu "
                                    "devices were given",
                              h.stripe_count, stripes_expected_));
    }
    stripe_count_ = h.stripe_count;
    first_header_ = h;
    have_header_.assign(stripe_count_, false);
    frames_per_stripe_.assign(stripe_count_, 0);
    have_trailer_.assign(stripe_count_, false);
  } else {
    if (h.backup_id != first_header_.backup_id) {
      return Fail(why, Format("stripe %llu belongs to another backup "
                              "(backup id ",
                              stripe) +
                           BackupIdHex(h.backup_id) + ", expected " +
                           BackupIdHex(first_header_.backup_id) + ")");
    }
    if (h.stripe_count != stripe_count_ ||
        h.request_size != first_header_.request_size) {
      return Fail(why, Format("stripe %llu disagrees with the other stripes "
                              "on the stripe count or the request size",
                              stripe));
    }
  }
  if (stripe >= stripe_count_ || h.stripe_index != stripe) {
    return Fail(why, Format("the device of stripe %llu holds stripe %llu of "
                            "the backup",
                            stripe, h.stripe_index));
  }
  if (have_header_[stripe]) {
    return Fail(why, Format("stripe %llu was given twice", stripe));
  }
  have_header_[stripe] = true;
  headers_done_ = true;
  for (bool have : have_header_) headers_done_ = headers_done_ && have;
  return true;
}

bool StreamChecker::AcceptFrame(uint32_t stripe, const uint8_t *data,
                                size_t size, const uint8_t **payload,
                                uint32_t *payload_length, std::string *why) {
  if (!ExpectingFrames() || stripe != NextStripe()) {
    return Fail(why, "internal error: a data frame was offered out of turn");
  }
  if (size != first_header_.request_size) {
    return Fail(why, Format("stripe %llu: a request of %llu bytes where "
                            "%llu were expected",
                            stripe, size, first_header_.request_size));
  }
  switch (ClassifyRequest(data, size)) {
    case RequestKind::kTrailer:
      return Fail(why,
                  Format("stripe %llu ends after %llu data frames, "
                         "before the end of the stream (frame %llu is "
                         "missing): the backup is incomplete",
                         stripe, frames_per_stripe_[stripe], next_sequence_));
    case RequestKind::kUnknown:
      return Fail(why, Format("stripe %llu: the request that should hold "
                              "frame %llu is not a korbr data frame (the "
                              "volume is damaged)",
                              stripe, next_sequence_));
    case RequestKind::kFrame:
      break;
  }
  FrameHeader f;
  std::string reason;
  if (!DecodeFrameHeader(data, size, &f, &reason)) {
    return Fail(why, Format("stripe %llu: ", stripe) + reason);
  }
  if (f.backup_id != first_header_.backup_id) {
    return Fail(why, Format("stripe %llu: frame %llu belongs to another "
                            "backup (a volume of another backup is mixed in)",
                            stripe, f.sequence));
  }
  if (f.sequence != next_sequence_) {
    return Fail(why, Format("stripe %llu: frame %llu where frame %llu was "
                            "expected (volumes out of order or damaged)",
                            stripe, f.sequence, next_sequence_));
  }
  ++next_sequence_;
  ++frames_per_stripe_[stripe];
  total_bytes_ += f.payload_length;
  seen_last_ = f.last;
  *payload = data + kFrameHeaderSize;
  *payload_length = f.payload_length;
  return true;
}

bool StreamChecker::AcceptTrailer(uint32_t stripe, const uint8_t *data,
                                  size_t size, std::string *why) {
  if (!seen_last_ || stripe >= stripe_count_) {
    return Fail(why, "internal error: a trailer was offered out of turn");
  }
  if (ClassifyRequest(data, size) == RequestKind::kFrame) {
    return Fail(why, Format("stripe %llu holds more data frames after the "
                            "last frame of the stream (the volumes are "
                            "damaged or mixed)",
                            stripe));
  }
  StreamTrailer t;
  std::string reason;
  if (!DecodeTrailer(data, size, &t, &reason)) {
    return Fail(why, Format("stripe %llu: ", stripe) + reason);
  }
  if (t.backup_id != first_header_.backup_id || t.stripe_index != stripe ||
      t.stripe_count != stripe_count_ || t.version != first_header_.version) {
    return Fail(why, Format("stripe %llu: the stream trailer belongs to "
                            "another backup or stripe",
                            stripe));
  }
  if (have_trailer_[stripe]) {
    return Fail(why, Format("stripe %llu: a second trailer", stripe));
  }
  if (t.total_frames != next_sequence_ ||
      t.stripe_frames != frames_per_stripe_[stripe]) {
    return Fail(why, Format("stripe %llu: the trailer counts %llu frames in "
                            "the stream, but %llu were read",
                            stripe, t.total_frames, next_sequence_));
  }
  if (have_any_trailer_ && (t.total_bytes != first_trailer_.total_bytes ||
                            t.stored_bytes != first_trailer_.stored_bytes ||
                            t.stream_digest != first_trailer_.stream_digest)) {
    return Fail(why, Format("stripe %llu: the trailers of the stripes "
                            "disagree on the stream's length or checksum",
                            stripe));
  }
  if (!have_any_trailer_) {
    first_trailer_ = t;
    have_any_trailer_ = true;
  }
  have_trailer_[stripe] = true;
  return true;
}

bool StreamChecker::Finish(uint64_t output_bytes, const Sha256Digest &digest,
                           std::string *why) {
  for (uint32_t s = 0; s < stripe_count_; ++s) {
    if (!have_trailer_[s]) {
      return Fail(why, Format("stripe %llu: no stream trailer", s));
    }
  }
  if (!seen_last_ || !have_any_trailer_) {
    return Fail(why, "the stream has not ended");
  }
  if (first_trailer_.stored_bytes != total_bytes_) {
    return Fail(why, Format("length mismatch: the backup recorded %llu "
                            "bytes, %llu were read",
                            first_trailer_.stored_bytes, total_bytes_));
  }
  if (first_trailer_.total_bytes != output_bytes) {
    return Fail(why, Format("length mismatch: the backup recorded a stream "
                            "of %llu bytes, %llu were restored",
                            first_trailer_.total_bytes, output_bytes));
  }
  if (digest != first_trailer_.stream_digest) {
    return Fail(why, "checksum mismatch: the SHA-256 of the restored stream (" +
                         DigestHex(digest) +
                         ") differs from the one the backup recorded (" +
                         DigestHex(first_trailer_.stream_digest) +
                         "): the volumes are damaged");
  }
  return true;
}

}  // namespace cli
}  // namespace kor
