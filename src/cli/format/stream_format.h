// format/: the bytes korbr stores, read without the library.
//
// The stream format korbr puts on each stripe, and the two sides that make
// and check it.
//
// The library moves requests, not streams: every read request of a restore
// must have exactly the size of the write request that put those bytes on
// the media, and a stream read from a pipe has an unknown length (and
// checksum) until it ends.  So each stripe carries, as library requests:
//
//   request 0       the stream header, always kHeaderRequestSize bytes, so a
//                   restore can read it before it knows anything else;
//   requests 1..n   data frames, every one exactly `request size` bytes
//                   (the size the header names);
//   request n+1     the stream trailer, also `request size` bytes.  It is
//                   written when the input has ended, so it is the record
//                   that carries the stream's length and SHA-256; the header
//                   cannot, for a stream that is still being read.
//
// Data frame k (k = 0, 1, 2, ... over the whole stream) goes to stripe
// k mod stripe-count.  All numbers are little-endian.
//
// Three versions exist.  Version 3 (written now) seals every data frame
// with a SHA-256 that the stripe's own thread computes and checks, so
// hashing runs on as many cores as there are stripes, and replaces the one
// sequential digest of the whole stream with two hashes of hashes in the
// trailers (below); it also has room for encryption.  Version 2 (frames
// with an XXH3 checksum, optional compression, one SHA-256 of the whole
// stream) and version 1 (frames without checksum, never compressed) stay
// readable, and version 2 can still be written.
//
// Stream header (kHeaderRequestSize = 4096 bytes):
//     0  8  "KORBRSTR"
//     8  4  format version, 1, 2 or 3
//    12  4  stripe count, 1..32
//    16  4  stripe index, 0..count-1
//    20  4  request size of the data frames and the trailer
//    24 16  backup id: random, the same on every stripe of one backup
//    40  8  creation time, seconds since 1970-01-01 UTC
//    48 32  database name, at most 30 bytes, NUL-padded
//    80  4  compression of the stream (version 2 on): 0 none, 1 zstd
//    84  4  version 3: encryption, 0 none, 1 X25519 recipients,
//           2 passphrase; versions 1 and 2: zero
//    88 40  zero
//  versions 1 and 2:
//   128 32  SHA-256 of bytes 0..127 (the record's own seal)
//   160 ..  zero
//  version 3:
//   128 ..  zero up to 1024
//  1024 3040 the key area: opaque bytes the encryption fills (key
//           derivation parameters, salt, one wrapped data key per
//           recipient); all zero for a stream that is not encrypted
//  4064 32  SHA-256 of bytes 0..4063 (the record's own seal)
//
// Data frame (request size bytes), versions 1 and 2:
//     0  8  "KORBRDAT"
//     8 16  backup id
//    24  8  sequence number k
//    32  4  payload length, 0..request size - 48
//    36  4  flags: bit 0 = the last frame of the stream
//    40  8  version 1: zero; version 2: XXH3-64 of bytes 0..39 followed by
//           the payload
//    48 ..  payload, then zeros up to the request size
//
// Data frame, version 3:
//     0  8  "KORBRDAT"
//     8 16  backup id
//    24  8  sequence number k
//    32  4  payload length as stored, 0..request size - 128
//    36  4  flags: bit 0 = the last frame of the stream,
//           bit 1 = the payload is encrypted
//    40 16  authentication tag of the encrypted payload; zero when plain
//    56 40  zero
//    96 32  the frame digest: SHA-256 of bytes 0..95 followed by the
//           SHA-256 of the payload as stored (the ciphertext when
//           encrypted), so that a frame is proved intact without a key
//   128 ..  payload, then zeros up to the request size
//
// The payloads in sequence order are the stream as stored: the input
// itself, or with compression one zstd stream of the input (compressed
// before it is encrypted).
//
// Stream trailer (request size bytes), versions 1 and 2:
//     0  8  "KORBREND"
//     8  4  format version
//    12  4  stripe count
//    16  4  stripe index
//    20  4  request size
//    24 16  backup id
//    40  8  stream length in bytes
//    48  8  data frames in the whole stream (at least 1)
//    56  8  data frames on this stripe
//    64 32  SHA-256 of the whole stream (the input as it was given)
//    96  8  version 2: payload bytes of all frames (the stored stream;
//           the stream length again unless compressed)
//   104 24  zero
//   128 32  SHA-256 of bytes 0..127
//   160 ..  zero
//
// Stream trailer, version 3 (the same up to byte 64):
//    40  8  input length in bytes; zero when encrypted
//    48  8  data frames in the whole stream (at least 1)
//    56  8  data frames on this stripe
//    64 32  the content seal; zero when encrypted
//    96  8  payload bytes of all frames (the stored stream)
//   104  4  the content seal's chunk size
//   108  4  zero
//   112 32  the stored seal
//   144 112 zero
//   256 128 encrypted: the sealed block, which carries the input length
//           and the content seal (laid out by the encryption); else zero
//   384 16  its authentication tag; zero when not encrypted
//   400 ..  zero up to 4064
//  4064 32  SHA-256 of bytes 0..4063
//  4096 ..  zero up to the request size
//
// The two seals are hashes of hashes, so neither needs one sequential pass
// over the stream:
//   stored seal  = SHA-256(F0 || F1 || ... || Fn-1 || n as 8 bytes), Fk the
//                  frame digest of frame k: the stored bytes are complete
//                  and in order.
//   content seal = SHA-256(C0 || C1 || ... || Cm-1 || input length as 8
//                  bytes || chunk size as 8 bytes), Ck the SHA-256 of the
//                  input's k-th chunk of `chunk size` bytes (the last one
//                  may be shorter; an empty input has none).  It names the
//                  input whatever the stripe count, compression or
//                  encryption.  The chunk size is the plain payload
//                  capacity of the request size (request size - 128), so
//                  for a plain stream the chunk digests are the frames'
//                  payload digests and cost nothing more.
//
// Every stream has at least one frame (an empty input gives one empty
// frame marked last).  A backup that fails or is interrupted writes no
// trailers, so its volumes can never pass for a complete backup.
#ifndef KORBR_CLI_STREAM_FORMAT_H_
#define KORBR_CLI_STREAM_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/format/sha256.h"
#include "cli/format/stream_seals.h"

namespace kor {
namespace cli {

constexpr uint32_t kStreamFormatVersion = 3;  // written by this korbr
constexpr uint32_t kOldestStreamFormat = 1;   // still read
constexpr uint32_t kHeaderRequestSize = 4096;
constexpr uint32_t kFrameHeaderSize = 48;     // versions 1 and 2

// Version 3 places.
constexpr uint32_t kFrameHeaderSizeV3 = 128;
constexpr size_t kFrameTagOffset = 40;
constexpr size_t kFrameTagSize = 16;
constexpr size_t kFrameDigestOffset = 96;
constexpr size_t kHeaderEncryptionOffset = 84;
constexpr size_t kKeyAreaOffset = 1024;
constexpr size_t kKeyAreaSize = 3040;
constexpr size_t kRecordSealOffsetV3 = 4064;  // header and trailer
constexpr size_t kTrailerChunkSizeOffset = 104;
constexpr size_t kTrailerStoredSealOffset = 112;
constexpr size_t kSealedBlockOffset = 256;
constexpr size_t kSealedBlockSize = 128;
constexpr size_t kSealedBlockTagOffset = 384;
constexpr size_t kSealedBlockTagSize = 16;
constexpr uint32_t kMinRequestSize = 4096;
constexpr uint32_t kMaxRequestSize = 16u << 20;
constexpr uint32_t kMaxStripes = 32;
constexpr size_t kMaxDbNameLength = 30;
constexpr uint32_t kFrameLastFlag = 1;
constexpr uint32_t kFrameEncryptedFlag = 2;  // version 3

enum class Compression : uint32_t { kNone = 0, kZstd = 1 };
enum class Encryption : uint32_t { kNone = 0, kRecipients = 1,
                                   kPassphrase = 2 };

using BackupId = std::array<uint8_t, 16>;
using KeyArea = std::array<uint8_t, kKeyAreaSize>;
using FrameTag = std::array<uint8_t, kFrameTagSize>;
using SealedBlock = std::array<uint8_t, kSealedBlockSize + kSealedBlockTagSize>;

struct StreamHeader {
  uint32_t version = kStreamFormatVersion;
  uint32_t stripe_count = 0;
  uint32_t stripe_index = 0;
  uint32_t request_size = 0;
  BackupId backup_id{};
  uint64_t created = 0;  // seconds since 1970 UTC
  std::string dbname;    // at most kMaxDbNameLength bytes
  Compression compression = Compression::kNone;
  Encryption encryption = Encryption::kNone;  // version 3
  KeyArea key_area{};                         // version 3, opaque
};

struct FrameHeader {
  BackupId backup_id{};
  uint64_t sequence = 0;
  uint32_t payload_length = 0;
  bool last = false;
  uint64_t checksum = 0;  // version 2
  bool encrypted = false;  // version 3
  FrameTag tag{};          // version 3, zero when plain
  Sha256Digest digest{};   // version 3: the frame digest
};

struct StreamTrailer {
  uint32_t version = kStreamFormatVersion;
  uint32_t stripe_count = 0;
  uint32_t stripe_index = 0;
  uint32_t request_size = 0;
  BackupId backup_id{};
  uint64_t total_bytes = 0;
  uint64_t total_frames = 0;
  uint64_t stripe_frames = 0;
  // Versions 1 and 2: the SHA-256 of the input; version 3: the content
  // seal (zero when encrypted).
  Sha256Digest stream_digest{};
  uint64_t stored_bytes = 0;  // version 2 on
  uint32_t chunk_size = 0;    // version 3: of the content seal
  Sha256Digest stored_seal{};  // version 3
  SealedBlock sealed_block{};  // version 3, encrypted streams: block + tag
};

// What a request of `request size` bytes read after the header is.
enum class RequestKind { kFrame, kTrailer, kUnknown };

// Where a data frame's payload begins in `version`.
inline uint32_t FrameHeaderSizeOf(uint32_t version) {
  return version >= 3 ? kFrameHeaderSizeV3 : kFrameHeaderSize;
}
// Payload bytes one data frame holds.
inline uint32_t FramePayloadCapacity(uint32_t request_size) {
  return request_size - kFrameHeaderSize;
}
inline uint32_t FramePayloadCapacity(uint32_t request_size, uint32_t version) {
  return request_size - FrameHeaderSizeOf(version);
}
// The chunk size of the content seal for a request size: the payload a
// plain version-3 frame holds.
inline uint32_t ContentChunkSize(uint32_t request_size) {
  return FramePayloadCapacity(request_size, 3);
}
// Frames of a stream of `total_frames` that lie on `stripe`.
uint64_t FramesOnStripe(uint64_t total_frames, uint32_t stripe_count,
                        uint32_t stripe);

// Encoders fill the whole record: `out` holds kHeaderRequestSize bytes for
// a header and `request_size` bytes for a trailer.
void EncodeHeader(const StreamHeader &header, uint8_t *out);
void EncodeTrailer(const StreamTrailer &trailer, uint8_t *out);
// Writes the frame header (48 bytes, with the checksum from version 2 on;
// 128 bytes in version 3, whose frame digest StampFrameDigest adds) and
// zeroes the padding after a payload of header.payload_length bytes that
// the caller has put at FrameHeaderSizeOf(version).
void SealFrame(const FrameHeader &header, uint8_t *frame, uint32_t request_size,
               uint32_t version);
// The checksum a version-2 frame carries, of its first 40 bytes and its
// payload (`payload_length` bytes at offset 48).
uint64_t FrameChecksum(const uint8_t *frame, uint32_t payload_length);
// For a version-2 or 3 request that is a data frame: whether its checksum
// (version 3: its SHA-256 frame digest) matches.  Other requests (trailers, damage the checker names) and
// version-1 frames pass; false with a reason only for a frame whose bytes
// changed since the backup.
bool FrameIntact(uint32_t version, const uint8_t *data, size_t size,
                 std::string *why);

// Decoders check magic, seal, version and ranges; on failure they say why.
bool DecodeHeader(const uint8_t *data, size_t size, StreamHeader *header,
                  std::string *why);
bool DecodeTrailer(const uint8_t *data, size_t size, StreamTrailer *trailer,
                   std::string *why);
bool DecodeFrameHeader(uint32_t version, const uint8_t *data, size_t size,
                       FrameHeader *header, std::string *why);
RequestKind ClassifyRequest(const uint8_t *data, size_t size);

std::string BackupIdHex(const BackupId &id);

// The backup side: numbers frames, deals them to stripes, counts the stream,
// and writes the trailers.  The digests (version 2: the stream's SHA-256;
// version 3: the frame digests and the two seals) are taken elsewhere, on
// threads of their own, and handed to the trailers.
class StreamEncoder {
 public:
  StreamEncoder(const BackupId &id, uint32_t stripe_count,
                uint32_t request_size, uint64_t created,
                const std::string &dbname,
                Compression compression = Compression::kNone,
                uint32_t version = kStreamFormatVersion);
  uint32_t stripe_count() const { return stripe_count_; }
  uint32_t request_size() const { return request_size_; }
  uint32_t version() const { return version_; }
  // Where a frame's payload begins, and how much it holds.
  uint32_t payload_offset() const { return FrameHeaderSizeOf(version_); }
  uint32_t payload_capacity() const {
    return FramePayloadCapacity(request_size_, version_);
  }
  // The stripe that the next frame goes to.
  uint32_t NextStripe() const;
  // The header of `stripe` (kHeaderRequestSize bytes into `out`).
  void EncodeHeaderFor(uint32_t stripe, uint8_t *out) const;
  // Seals the next frame in `frame` (request size bytes) whose payload of
  // `payload_length` bytes is already at payload_offset(); it goes to
  // NextStripe() as it was before the call.  A version-3 frame still
  // needs its StampFrameDigest.
  void SealNextFrame(uint8_t *frame, uint32_t payload_length, bool last);
  // After the last frame: the trailer of `stripe` (request size bytes),
  // carrying the input's length and `digest` (version 2: its SHA-256;
  // version 3: its content seal) and, in version 3, the stored seal.
  // Without compression the input is the payloads in sequence order.
  void EncodeTrailerFor(uint32_t stripe, uint64_t input_bytes,
                        const Sha256Digest &digest,
                        const Sha256Digest &stored_seal, uint8_t *out) const;
  // Payload bytes sealed so far.
  uint64_t total_bytes() const { return total_bytes_; }
  uint64_t frames() const { return next_sequence_; }
  const BackupId &backup_id() const { return id_; }

  // Version 3, encrypted (stream_crypto.h): the headers carry `key_area`,
  // every frame the encrypted flag, and the trailers `sealed` in place of
  // the input length and content seal, which they leave zero.
  void SetEncryption(Encryption method, const KeyArea &key_area);
  void SetSealedBlock(const SealedBlock &sealed) { sealed_block_ = sealed; }
  bool encrypted() const { return encryption_ != Encryption::kNone; }

 private:
  BackupId id_;
  uint32_t stripe_count_;
  uint32_t request_size_;
  uint64_t created_;
  std::string dbname_;
  Compression compression_;
  uint32_t version_;
  uint64_t next_sequence_ = 0;
  uint64_t total_bytes_ = 0;
  Encryption encryption_ = Encryption::kNone;
  KeyArea key_area_{};
  SealedBlock sealed_block_{};
};

// The restore side: takes the requests of every stripe as they come off
// the media and decides, request by request, whether they still make up
// the one stream the headers announced; nothing it has not accepted should
// reach the output.  The caller checks each frame's checksum or digest
// (FrameIntact) before it offers the frame, and hands Finish the digest of
// what it restored: version 2, the SHA-256 of the stream; version 3, its
// content seal.  The stored seal of version 3 it checks itself, from the
// digests of the frames it accepted.
class StreamChecker {
 public:
  explicit StreamChecker(uint32_t stripes_expected);

  // The header of each stripe (any order).  The first one fixes the
  // backup; the others must agree with it.  stripes_expected 0 means "learn
  // the stripe count from the first header".
  bool AcceptHeader(uint32_t stripe, const uint8_t *data, size_t size,
                    std::string *why);
  bool HaveAllHeaders() const;
  const StreamHeader &header() const { return first_header_; }
  uint32_t stripe_count() const { return stripe_count_; }

  // True while data frames are expected; then NextStripe() names the stripe
  // whose next request comes next in the stream.
  bool ExpectingFrames() const { return headers_done_ && !seen_last_; }
  uint32_t NextStripe() const;
  // A data request from NextStripe() whose checksum or digest was checked:
  // on success `payload` and `payload_length` give the bytes to write out.
  bool AcceptFrame(uint32_t stripe, const uint8_t *data, size_t size,
                   const uint8_t **payload, uint32_t *payload_length,
                   std::string *why);
  // Once the last frame is in: the trailer request of each stripe.
  bool AcceptTrailer(uint32_t stripe, const uint8_t *data, size_t size,
                     std::string *why);
  // After every trailer: the stored bytes against what was accepted, and
  // the stream as restored (`output_bytes` long, of SHA-256 `digest`:
  // the payloads, decompressed when the stream is compressed) against the
  // recorded length and digest (version 3: content seal).
  bool Finish(uint64_t output_bytes, const Sha256Digest &digest,
              std::string *why);
  // The part of Finish that needs no key: every trailer in, and the stored
  // bytes as recorded.
  bool FinishStored(std::string *why);
  // The trailers as accepted (all agree).
  const StreamTrailer &trailer() const { return first_trailer_; }
  // An encrypted stream: the input length and content seal its trailers'
  // sealed block holds, for Finish to check against.
  void SetOpenedTrailer(uint64_t input_bytes, const Sha256Digest &content) {
    first_trailer_.total_bytes = input_bytes;
    first_trailer_.stream_digest = content;
  }
  uint64_t bytes_accepted() const { return total_bytes_; }

 private:
  uint32_t stripes_expected_;
  uint32_t stripe_count_ = 0;
  StreamHeader first_header_;
  std::vector<bool> have_header_;
  bool headers_done_ = false;
  uint64_t next_sequence_ = 0;
  bool seen_last_ = false;
  uint64_t total_bytes_ = 0;
  std::vector<uint64_t> frames_per_stripe_;
  std::vector<bool> have_trailer_;
  StreamTrailer first_trailer_;
  bool have_any_trailer_ = false;
  SealChain stored_chain_;  // version 3: the frame digests accepted
  Sha256Digest stored_seal_{};
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_STREAM_FORMAT_H_
