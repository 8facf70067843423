// The stream header: the first request of every stripe.
#include "cli/format/stream_format.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "cli/format/stream_bytes.h"

namespace kor {
namespace cli {

using namespace stream_bytes;

uint64_t FramesOnStripe(uint64_t total_frames, uint32_t stripe_count,
                        uint32_t stripe) {
  if (stripe_count == 0) return 0;
  return total_frames / stripe_count +
         (stripe < total_frames % stripe_count ? 1 : 0);
}

void EncodeHeader(const StreamHeader &header, uint8_t *out) {
  std::memset(out, 0, kHeaderRequestSize);
  PutStripeFields(header, kHeaderMagic, out);
  Put64(out + 40, header.created);
  std::memcpy(out + 48, header.dbname.data(),
              std::min(header.dbname.size(), kMaxDbNameLength));
  Put32(out + 80, static_cast<uint32_t>(header.compression));
  if (header.version >= 3) {
    Put32(out + kHeaderEncryptionOffset,
          static_cast<uint32_t>(header.encryption));
    std::memcpy(out + kKeyAreaOffset, header.key_area.data(), kKeyAreaSize);
  }
  SealRecord(out, header.version);
}

bool DecodeHeader(const uint8_t *data, size_t size, StreamHeader *header,
                  std::string *why) {
  if (size != kHeaderRequestSize || std::memcmp(data, kHeaderMagic, 8) != 0) {
    return Fail(why,
                "the first request is not a korbr stream header (the volume "
                "was not written by korbr backup, or is damaged)");
  }
  if (!RecordSealIntact(data, size)) {
    return Fail(why, "the stream header is damaged");
  }
  StreamHeader h;
  GetStripeFields(data, &h);
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
  if (h.version >= 3) {
    const uint32_t encryption = Get32(data + kHeaderEncryptionOffset);
    if (encryption > static_cast<uint32_t>(Encryption::kPassphrase)) {
      return Fail(why, Format("the stream header names encryption method "
                              "%llu, which this korbr does not know",
                              encryption));
    }
    h.encryption = static_cast<Encryption>(encryption);
    std::memcpy(h.key_area.data(), data + kKeyAreaOffset, kKeyAreaSize);
  }
  *header = h;
  return true;
}

std::string BackupIdHex(const BackupId &id) {
  return HexOf(id.data(), id.size());
}

}  // namespace cli
}  // namespace kor
