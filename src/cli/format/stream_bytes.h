// The byte-level pieces every record of the stream format shares: the
// record magics, little-endian fields, the SHA-256 seal over a record's
// core, and the checks of the fields every record repeats.  Only the
// format's own files include this.
#ifndef KORBR_CLI_STREAM_BYTES_H_
#define KORBR_CLI_STREAM_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/format/sha256.h"
#include "cli/format/stream_format.h"

namespace kor {
namespace cli {
namespace stream_bytes {

constexpr char kHeaderMagic[8] = {'K', 'O', 'R', 'B', 'R', 'S', 'T', 'R'};
constexpr char kFrameMagic[8] = {'K', 'O', 'R', 'B', 'R', 'D', 'A', 'T'};
constexpr char kTrailerMagic[8] = {'K', 'O', 'R', 'B', 'R', 'E', 'N', 'D'};
constexpr size_t kSealedCore = 128;  // bytes covered by a record's seal
constexpr size_t kSealEnd = 160;     // the seal ends here

inline void Put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t Get32(const uint8_t *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline uint64_t Get64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

inline void Seal(uint8_t *record) {
  Sha256Digest seal = Sha256Of(record, kSealedCore);
  std::memcpy(record + kSealedCore, seal.data(), seal.size());
}
inline bool SealIntact(const uint8_t *record) {
  Sha256Digest seal = Sha256Of(record, kSealedCore);
  return std::memcmp(record + kSealedCore, seal.data(), seal.size()) == 0;
}
// From version 3 on a header or trailer seals its first 4064 bytes (the
// key area and the sealed block included) at their end.
inline void SealRecord(uint8_t *record, uint32_t version) {
  if (version < 3) {
    Seal(record);
    return;
  }
  Sha256Digest seal = Sha256Of(record, kRecordSealOffsetV3);
  std::memcpy(record + kRecordSealOffsetV3, seal.data(), seal.size());
}
// The version is read before the seal is checked: it says where the seal
// is.  A record too short for its version's seal is not intact.
inline bool RecordSealIntact(const uint8_t *record, size_t size) {
  const uint32_t version = Get32(record + 8);
  if (version < 3) return SealIntact(record);
  if (size < kRecordSealOffsetV3 + 32) return false;
  Sha256Digest seal = Sha256Of(record, kRecordSealOffsetV3);
  return std::memcmp(record + kRecordSealOffsetV3, seal.data(), seal.size()) ==
         0;
}

inline std::string Format(const char *format, unsigned long long a,
                   unsigned long long b = 0, unsigned long long c = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

inline bool Fail(std::string *why, const std::string &text) {
  if (why != nullptr) *why = text;
  return false;
}

// Shared checks of version, stripe numbers and request size.
inline bool CheckCommonFields(const char *what, uint32_t version, uint32_t count,
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

// A stripe's header and trailer both begin with their magic, then (bytes
// 8 to 40) the format version, stripe count, stripe index, request size
// and backup id.
template <typename Record>
void PutStripeFields(const Record &record, const char *magic, uint8_t *out) {
  std::memcpy(out, magic, 8);
  Put32(out + 8, record.version);
  Put32(out + 12, record.stripe_count);
  Put32(out + 16, record.stripe_index);
  Put32(out + 20, record.request_size);
  std::memcpy(out + 24, record.backup_id.data(), 16);
}

template <typename Record>
void GetStripeFields(const uint8_t *data, Record *record) {
  record->version = Get32(data + 8);
  record->stripe_count = Get32(data + 12);
  record->stripe_index = Get32(data + 16);
  record->request_size = Get32(data + 20);
  std::memcpy(record->backup_id.data(), data + 24, 16);
}

}  // namespace stream_bytes
}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_STREAM_BYTES_H_
