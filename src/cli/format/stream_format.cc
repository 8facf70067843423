// The stream's encoder and checker: the records of every stripe made, and
// read back, in the order the format asks (layout in the header file).
#include "cli/format/stream_format.h"

#include <cstring>
#include <string>

#include "cli/format/stream_bytes.h"

namespace kor {
namespace cli {

using namespace stream_bytes;

namespace {

// The fields by which a stripe's header and its trailer both name their
// stripe and backup.
template <typename Record>
void NameStripe(Record *record, uint32_t count, uint32_t stripe,
                uint32_t request_size, const BackupId &id) {
  record->stripe_count = count;
  record->stripe_index = stripe;
  record->request_size = request_size;
  record->backup_id = id;
}

}  // namespace

// ---------------------------------------------------------------- encoder

StreamEncoder::StreamEncoder(const BackupId &id, uint32_t stripe_count,
                             uint32_t request_size, uint64_t created,
                             const std::string &dbname, Compression compression,
                             uint32_t version)
    : id_(id),
      stripe_count_(stripe_count),
      request_size_(request_size),
      created_(created),
      dbname_(dbname),
      compression_(compression),
      version_(version) {}

uint32_t StreamEncoder::NextStripe() const {
  return static_cast<uint32_t>(next_sequence_ % stripe_count_);
}

void StreamEncoder::EncodeHeaderFor(uint32_t stripe, uint8_t *out) const {
  StreamHeader h;
  h.version = version_;
  NameStripe(&h, stripe_count_, stripe, request_size_, id_);
  h.created = created_;
  h.dbname = dbname_;
  h.compression = compression_;
  h.encryption = encryption_;
  h.key_area = key_area_;
  EncodeHeader(h, out);
}

void StreamEncoder::SetEncryption(Encryption method, const KeyArea &key_area) {
  encryption_ = method;
  key_area_ = key_area;
}

void StreamEncoder::SealNextFrame(uint8_t *frame, uint32_t payload_length,
                                  bool last) {
  FrameHeader f;
  f.backup_id = id_;
  f.sequence = next_sequence_++;
  f.payload_length = payload_length;
  f.last = last;
  f.encrypted = encrypted();
  total_bytes_ += payload_length;
  SealFrame(f, frame, request_size_, version_);
}

void StreamEncoder::EncodeTrailerFor(uint32_t stripe, uint64_t input_bytes,
                                     const Sha256Digest &digest,
                                     const Sha256Digest &stored_seal,
                                     uint8_t *out) const {
  StreamTrailer t;
  t.version = version_;
  NameStripe(&t, stripe_count_, stripe, request_size_, id_);
  if (version_ >= 3) {
    t.chunk_size = ContentChunkSize(request_size_);
    t.stored_seal = stored_seal;
  }
  t.total_bytes = input_bytes;
  t.stored_bytes = total_bytes_;
  t.total_frames = next_sequence_;
  t.stripe_frames = FramesOnStripe(next_sequence_, stripe_count_, stripe);
  t.stream_digest = digest;
  if (encrypted()) {
    // Nothing of the plaintext in the clear: the sealed block has them.
    t.total_bytes = 0;
    t.stream_digest = Sha256Digest{};
    t.sealed_block = sealed_block_;
  }
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
    if (h.encryption != first_header_.encryption ||
        h.key_area != first_header_.key_area) {
      return Fail(why, Format("stripe %llu disagrees with the other stripes "
                              "on the encryption or its key area",
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
  if (!DecodeFrameHeader(first_header_.version, data, size, &f, &reason)) {
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
  if (first_header_.version >= 3) stored_chain_.Add(f.digest);
  *payload = data + FrameHeaderSizeOf(first_header_.version);
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
  if (t.version >= 3 && !have_any_trailer_) {
    stored_seal_ = stored_chain_.FinishStored();
  }
  if (t.version >= 3 && t.stored_seal != stored_seal_) {
    return Fail(why, Format("stripe %llu: the stored seal in the trailer "
                            "does not match the frames read (frames are "
                            "missing, out of order or from another backup)",
                            stripe));
  }
  if (t.version >= 3 && t.chunk_size != ContentChunkSize(t.request_size)) {
    return Fail(why, Format("stripe %llu: the trailer names a content seal "
                            "chunk of %llu bytes, which this korbr does not "
                            "use with requests of %llu bytes",
                            stripe, t.chunk_size, t.request_size));
  }
  if (have_any_trailer_ && (t.total_bytes != first_trailer_.total_bytes ||
                            t.stored_bytes != first_trailer_.stored_bytes ||
                            t.stream_digest != first_trailer_.stream_digest ||
                            t.sealed_block != first_trailer_.sealed_block)) {
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
  if (!FinishStored(why)) return false;
  if (first_trailer_.total_bytes != output_bytes) {
    return Fail(why, Format("length mismatch: the backup recorded a stream "
                            "of %llu bytes, %llu were read back",
                            first_trailer_.total_bytes, output_bytes));
  }
  if (first_trailer_.version >= 3 && digest != first_trailer_.stream_digest) {
    return Fail(why, "content seal mismatch: the seal of the stream read back (" +
                         DigestHex(digest) +
                         ") differs from the one the backup recorded (" +
                         DigestHex(first_trailer_.stream_digest) +
                         "): the volumes are damaged");
  }
  if (digest != first_trailer_.stream_digest) {
    return Fail(why, "checksum mismatch: the SHA-256 of the stream read back (" +
                         DigestHex(digest) +
                         ") differs from the one the backup recorded (" +
                         DigestHex(first_trailer_.stream_digest) +
                         "): the volumes are damaged");
  }
  return true;
}

bool StreamChecker::FinishStored(std::string *why) {
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
  return true;
}

}  // namespace cli
}  // namespace kor
