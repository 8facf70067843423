// The committed korbr streams (tests/samples/stream-v<N>) against today's
// korbr.
//
// Strategy: every format version korbr ever wrote has a sample, made by
// `korbr backup` of the same input (StreamSample()), and a checker here that
// reads the stripes' requests through the library and checks every field of
// every record at its offset, little-endian, against what the input must
// give: headers, each data frame with its payload and padding, trailers
// with the stream's length and SHA-256.  Then today's `korbr restore` must
// give the input back from each sample, and a stream that today's korbr
// writes must pass the checker of the version it declares.  A new format
// version therefore needs a new sample and a checker beside the old ones.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <xxhash.h>
#include <zstd.h>

#include "samples/sample_catalog.h"

namespace korit {
namespace {

std::string SamplesRoot() { return KORBR_SAMPLES_DIR; }
std::string Korbr() { return KORBR_PROGRAM; }

using Bytes = std::vector<uint8_t>;

uint64_t Little(const Bytes &record, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i)
    value = value << 8 | record[at + static_cast<size_t>(i)];
  return value;
}
Bytes Slice(const Bytes &record, size_t at, size_t size) {
  return Bytes(record.begin() + static_cast<ptrdiff_t>(at),
               record.begin() + static_cast<ptrdiff_t>(at + size));
}
Bytes Text(const std::string &text, size_t size) {
  Bytes bytes(text.begin(), text.end());
  bytes.resize(size, 0);
  return bytes;
}

// SHA-256 by coreutils' sha256sum: a digest the code under test did not
// compute.
Bytes Sha256(const Bytes &data) {
  char name[] = "/tmp/korbr-sample-sha-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return {};
  close(fd);
  WriteWholeFile(name, data);
  Bytes digest;
  FILE *pipe = popen(("sha256sum " + ShellQuote(name)).c_str(), "r");
  unsigned byte = 0;
  while (pipe != nullptr && digest.size() < 32 &&
         std::fscanf(pipe, "%2x", &byte) == 1)
    digest.push_back(static_cast<uint8_t>(byte));
  if (pipe != nullptr) pclose(pipe);
  std::remove(name);
  return digest;
}

// Reads stripe `stripe` of the sample in `dir` through the library with
// requests of the given sizes.
::testing::AssertionResult ReadStripe(const std::string &dir, int stripe,
                                      const std::vector<size_t> &sizes,
                                      std::vector<Bytes> *requests) {
  ResetHost();
  HostParams params;
  params.SetDevice(stripe, SmallDiskDevice(dir + "/s" + std::to_string(stripe)));
  MessageBuffer msg;
  void *h = kor_open(stripe, params.get(), KOR_MODE_READ, &msg);
  if (h == nullptr)
    return ::testing::AssertionFailure() << "open: " << BufferText(msg);
  requests->clear();
  std::string failure;
  for (size_t size : sizes) {
    requests->emplace_back(size);
    if (kor_read(h, requests->back().data(), static_cast<int32_t>(size),
                 &msg) != 0) {
      failure = "read " + std::to_string(requests->size()) + ": " +
                BufferText(msg);
      break;
    }
  }
  kor_close(h, KOR_CLOSE_NORMAL, &msg);
  if (!failure.empty()) return ::testing::AssertionFailure() << failure;
  return ::testing::AssertionSuccess();
}

// A field of a record: its offset and the bytes it must hold.
struct Field {
  const char *what;
  size_t at;
  Bytes expect;
};
// `value` as `size` bytes, little-endian.
Bytes Le(uint64_t value, int size) {
  Bytes bytes;
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return bytes;
}

// Checks each field, and that every byte outside the fields is zero.
::testing::AssertionResult CheckRecord(const std::string &where,
                                       const Bytes &record,
                                       const std::vector<Field> &fields) {
  std::vector<bool> in_field(record.size(), false);
  for (const Field &f : fields) {
    if (Slice(record, f.at, f.expect.size()) != f.expect)
      return ::testing::AssertionFailure()
             << where << ": " << f.what << " (offset " << f.at
             << ") is not what it must be";
    std::fill(in_field.begin() + static_cast<ptrdiff_t>(f.at),
              in_field.begin() + static_cast<ptrdiff_t>(f.at + f.expect.size()),
              true);
  }
  for (size_t i = 0; i < record.size(); ++i)
    if (!in_field[i] && record[i] != 0)
      return ::testing::AssertionFailure()
             << where << ": byte " << i << " is outside every field but not 0";
  return ::testing::AssertionSuccess();
}

// --- What every version shares ----------------------------------------------

// Stripe 0's header gives the backup id (random: not zero; the same on
// every stripe and in every frame) and the creation time (after 2024 began
// and not after this test ran).
::testing::AssertionResult ReadIdentity(const std::string &volume,
                                        const Bytes &header, Bytes *backup_id,
                                        uint64_t *created) {
  *backup_id = Slice(header, 24, 16);
  if (*backup_id == Bytes(16, 0))
    return ::testing::AssertionFailure() << volume << ": no backup id";
  *created = Little(header, 40, 8);
  if (*created < 1704067200u || *created > static_cast<uint64_t>(std::time(nullptr)))
    return ::testing::AssertionFailure() << volume << ": creation time " << *created;
  return ::testing::AssertionSuccess();
}

// What the header (KORBRSTR) and the trailer (KORBREND) of stripe
// `stripe` begin with.
std::vector<Field> Opening(const char *magic, uint32_t version, uint32_t stripe,
                           size_t request, const Bytes &backup_id) {
  return {{"the magic", 0, Text(magic, 8)},
          {"the version", 8, Le(version, 4)},
          {"the stripe count", 12, Le(StreamSample().stripes, 4)},
          {"the stripe index", 16, Le(stripe, 4)},
          {"the request size", 20, Le(request, 4)},
          {"the backup id", 24, backup_id}};
}

// The fields of data frame `k` (of `frames`) that carries `payload`.
std::vector<Field> FrameFields(const Bytes &backup_id, uint64_t k,
                               uint64_t frames, const Bytes &payload) {
  return {{"the magic", 0, Text("KORBRDAT", 8)},
          {"the backup id", 8, backup_id},
          {"the sequence number", 24, Le(k, 8)},
          {"the payload length", 32, Le(payload.size(), 4)},
          {"the flags", 36, Le(k + 1 == frames ? 1 : 0, 4)},
          {"the payload", 48, payload}};
}

// The fields of a stripe's trailer up to the stream's SHA-256, and its
// seal: `more` lie between the two.
std::vector<Field> TrailerFields(uint32_t version, uint32_t stripe, size_t request,
                                 const Bytes &backup_id, uint64_t frames,
                                 uint64_t mine, const Bytes &stream_digest,
                                 const Bytes &trailer, std::vector<Field> more) {
  std::vector<Field> fields = Opening("KORBREND", version, stripe, request, backup_id);
  fields.insert(fields.end(),
                {{"the stream length", 40, Le(StreamSample().length, 8)},
                 {"the frame count", 48, Le(frames, 8)},
                 {"the stripe's frame count", 56, Le(mine, 8)},
                 {"the stream's SHA-256", 64, stream_digest}});
  fields.insert(fields.end(), more.begin(), more.end());
  fields.push_back({"the seal", 128, Sha256(Slice(trailer, 0, 128))});
  return fields;
}

// --- Version 1 ---------------------------------------------------------------
// The header request (4096 bytes), the stripe's data frames and its trailer
// (request size each) lie whole on the stripe's one volume, which holds
// nothing else.  Header and trailer begin alike: magic, version, stripe
// count and index, request size, backup id.  Every byte outside a field
// is zero (the padding of a name, a payload, a record).
::testing::AssertionResult CheckVersion1(const std::string &dir) {
  const StreamSampleInput &in = StreamSample();
  const size_t request = in.request_size;
  const uint64_t payload = request - 48;
  const uint64_t frames = in.length == 0 ? 1 : (in.length + payload - 1) / payload;
  Bytes stream(in.length);
  FillStream(in.seed, 0, stream.data(), stream.size());
  const Bytes stream_digest = Sha256(stream);
  Bytes backup_id;
  uint64_t created = 0;

  std::vector<std::string> files;
  for (uint32_t s = 0; s < in.stripes; ++s) {
    const uint64_t mine = frames / in.stripes + (s < frames % in.stripes ? 1 : 0);
    std::vector<size_t> sizes(1, 4096);
    sizes.insert(sizes.end(), mine + 1, request);
    const std::string volume = dir + "/s" + std::to_string(s) + ".1";
    files.push_back("s" + std::to_string(s) + ".1");
    uint64_t stored = 0;
    for (size_t size : sizes) stored += size;
    if (FileSize(volume) != static_cast<int64_t>(kHeaderBytes + stored + kTrailerBytes))
      return ::testing::AssertionFailure() << volume << " holds more or less";
    std::vector<Bytes> records;
    ::testing::AssertionResult read = ReadStripe(dir, static_cast<int>(s), sizes, &records);
    if (!read) return read << " (" << volume << ")";

    const Bytes &header = records.front();
    const Bytes &trailer = records.back();
    if (s == 0) {
      ::testing::AssertionResult identity =
          ReadIdentity(volume, header, &backup_id, &created);
      if (!identity) return identity;
    }
    std::vector<Field> fields = Opening("KORBRSTR", 1, s, request, backup_id);
    fields.insert(fields.end(),
                  {{"the creation time", 40, Le(created, 8)},
                   {"the database name", 48, Text(in.dbname, 32)},
                   {"the seal", 128, Sha256(Slice(header, 0, 128))}});
    ::testing::AssertionResult checked =
        CheckRecord(volume + " header", header, fields);
    if (!checked) return checked;

    for (uint64_t j = 0; j < mine; ++j) {
      const uint64_t k = s + j * in.stripes;
      const uint64_t length = std::min(payload, in.length - k * payload);
      checked = CheckRecord(volume + " frame " + std::to_string(k), records[1 + j],
                            FrameFields(backup_id, k, frames,
                                        Slice(stream, k * payload, length)));
      if (!checked) return checked;
    }

    checked = CheckRecord(volume + " trailer", trailer,
                          TrailerFields(1, s, request, backup_id, frames, mine,
                                        stream_digest, trailer, {}));
    if (!checked) return checked;
  }
  if (files != ListDirectory(dir))
    return ::testing::AssertionFailure() << dir << " holds other files";
  return ::testing::AssertionSuccess();
}

// --- Version 2 ---------------------------------------------------------------
// Version 1's records, and: the header names the compression at 80 (0 none,
// 1 zstd); each frame carries at 40 the XXH3-64 (libxxhash, default seed) of
// its bytes 0..39 followed by its payload; the trailer counts at 96 the
// payload bytes of all frames (the stored stream).  Compressed, the payloads
// in sequence order are one zstd frame of the input, in frames that are
// full but for the last.  Which bytes zstd makes depends on libzstd's
// version, so they are checked by decompressing them, with libzstd itself.
::testing::AssertionResult CheckVersion2(const std::string &dir,
                                         bool compressed) {
  const StreamSampleInput &in = StreamSample();
  const size_t request = in.request_size;
  const uint64_t payload = request - 48;
  Bytes stream(in.length);
  FillStream(in.seed, 0, stream.data(), stream.size());
  const Bytes stream_digest = Sha256(stream);

  // Each volume holds its stripe's header, frames and trailer, nothing else:
  // its size tells how many frames it has.
  std::vector<std::string> files;
  std::vector<std::vector<Bytes>> records(in.stripes);
  uint64_t frames = 0;
  for (uint32_t s = 0; s < in.stripes; ++s) {
    const std::string volume = dir + "/s" + std::to_string(s) + ".1";
    files.push_back("s" + std::to_string(s) + ".1");
    const int64_t frame_bytes =
        FileSize(volume) -
        static_cast<int64_t>(kHeaderBytes + 4096 + request + kTrailerBytes);
    if (frame_bytes < 0 || frame_bytes % static_cast<int64_t>(request) != 0)
      return ::testing::AssertionFailure() << volume << " holds no whole stripe";
    const uint64_t mine = static_cast<uint64_t>(frame_bytes) / request;
    std::vector<size_t> sizes(1, 4096);
    sizes.insert(sizes.end(), mine + 1, request);
    ::testing::AssertionResult read =
        ReadStripe(dir, static_cast<int>(s), sizes, &records[s]);
    if (!read) return read << " (" << volume << ")";
    frames += mine;
  }
  if (!compressed &&
      frames != (in.length == 0 ? 1 : (in.length + payload - 1) / payload))
    return ::testing::AssertionFailure() << dir << " holds " << frames << " frames";
  // The stored stream, frame by frame: the input itself, or whatever zstd
  // made of it, in full frames but for the last.
  Bytes stored;
  for (uint64_t k = 0; k < frames; ++k) {
    const Bytes &frame = records[k % in.stripes][1 + k / in.stripes];
    uint64_t length = std::min(payload, in.length - std::min(in.length, k * payload));
    if (compressed) length = k + 1 < frames ? payload : Little(frame, 32, 4);
    // A compressed stream is never empty, and its last frame takes what
    // is left over after the full ones.
    if (length > payload || (compressed && length == 0))
      return ::testing::AssertionFailure()
             << dir << ": frame " << k << " has a payload of " << length << " bytes";
    const Bytes part = compressed ? Slice(frame, 48, length)
                                  : Slice(stream, k * payload, length);
    stored.insert(stored.end(), part.begin(), part.end());
  }
  if (compressed) {
    Bytes restored(in.length + 1);
    const size_t got =
        ZSTD_decompress(restored.data(), restored.size(), stored.data(), stored.size());
    if (ZSTD_findFrameCompressedSize(stored.data(), stored.size()) != stored.size() ||
        ZSTD_isError(got) || got != in.length ||
        !std::equal(stream.begin(), stream.end(), restored.begin()))
      return ::testing::AssertionFailure()
             << dir << ": the payloads are not one zstd frame of the input";
  }

  Bytes backup_id;
  uint64_t created = 0;
  for (uint32_t s = 0; s < in.stripes; ++s) {
    const std::string volume = dir + "/s" + std::to_string(s) + ".1";
    const Bytes &header = records[s].front();
    const Bytes &trailer = records[s].back();
    const uint64_t mine = records[s].size() - 2;
    if (mine != frames / in.stripes + (s < frames % in.stripes ? 1 : 0))
      return ::testing::AssertionFailure() << volume << " holds " << mine << " frames";
    if (s == 0) {
      ::testing::AssertionResult identity =
          ReadIdentity(volume, header, &backup_id, &created);
      if (!identity) return identity;
    }
    std::vector<Field> fields = Opening("KORBRSTR", 2, s, request, backup_id);
    fields.insert(fields.end(),
                  {{"the creation time", 40, Le(created, 8)},
                   {"the database name", 48, Text(in.dbname, 32)},
                   {"the compression", 80, Le(compressed ? 1 : 0, 4)},
                   {"the seal", 128, Sha256(Slice(header, 0, 128))}});
    ::testing::AssertionResult checked =
        CheckRecord(volume + " header", header, fields);
    if (!checked) return checked;

    for (uint64_t j = 0; j < mine; ++j) {
      const uint64_t k = s + j * in.stripes;
      const uint64_t at = k * payload;
      const Bytes part = Slice(stored, at, std::min(payload, stored.size() - at));
      std::vector<Field> frame = FrameFields(backup_id, k, frames, part);
      // The checksum covers the fields before it (bytes 0..39) and the
      // payload.
      Bytes summed;
      for (const Field &f : frame) summed.insert(summed.end(), f.expect.begin(), f.expect.end());
      frame.insert(frame.end() - 1, {"the checksum", 40,
                                     Le(XXH3_64bits(summed.data(), summed.size()), 8)});
      checked = CheckRecord(volume + " frame " + std::to_string(k), records[s][1 + j], frame);
      if (!checked) return checked;
    }

    checked = CheckRecord(
        volume + " trailer", trailer,
        TrailerFields(2, s, request, backup_id, frames, mine, stream_digest, trailer,
                      {{"the stored length", 96, Le(stored.size(), 8)}}));
    if (!checked) return checked;
  }
  if (files != ListDirectory(dir))
    return ::testing::AssertionFailure() << dir << " holds other files";
  return ::testing::AssertionSuccess();
}
::testing::AssertionResult CheckVersion2Plain(const std::string &dir) {
  return CheckVersion2(dir, false);
}
::testing::AssertionResult CheckVersion2Zstd(const std::string &dir) {
  return CheckVersion2(dir, true);
}

// --- Version 3 ---------------------------------------------------------------
// Version 2's stream in new records.  The header names the encryption at 84
// (0: none, so zero here) and seals its bytes 0..4063 at 4064.  A frame's
// payload begins at 128; at 96 it carries the SHA-256 of its bytes 0..95
// followed by the SHA-256 of its payload (40..55, the tag of an encrypted
// payload, are zero).  The trailer holds the input length at 40, the
// content seal at 64, the stored length at 96, the content seal's chunk
// size (request size - 128) at 104, the stored seal at 112, and seals its
// bytes 0..4063 at 4064.  The stored seal is the SHA-256 of the frame
// digests in sequence order and their number (8 bytes); the content seal
// the SHA-256 of the SHA-256s of the input's chunks, the input length and
// the chunk size (8 bytes each).
Bytes Concat(std::vector<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

::testing::AssertionResult CheckVersion3(const std::string &dir,
                                         bool compressed) {
  const StreamSampleInput &in = StreamSample();
  const size_t request = in.request_size;
  const uint64_t payload = request - 128;
  Bytes stream(in.length);
  FillStream(in.seed, 0, stream.data(), stream.size());
  Bytes chunk_digests;
  for (uint64_t at = 0; at < stream.size(); at += payload) {
    const Bytes d = Sha256(Slice(stream, at, std::min<uint64_t>(payload, stream.size() - at)));
    chunk_digests.insert(chunk_digests.end(), d.begin(), d.end());
  }
  const Bytes content_seal =
      Sha256(Concat({chunk_digests, Le(in.length, 8), Le(payload, 8)}));

  std::vector<std::string> files;
  std::vector<std::vector<Bytes>> records(in.stripes);
  uint64_t frames = 0;
  for (uint32_t s = 0; s < in.stripes; ++s) {
    const std::string volume = dir + "/s" + std::to_string(s) + ".1";
    files.push_back("s" + std::to_string(s) + ".1");
    const int64_t frame_bytes =
        FileSize(volume) -
        static_cast<int64_t>(kHeaderBytes + 4096 + request + kTrailerBytes);
    if (frame_bytes < 0 || frame_bytes % static_cast<int64_t>(request) != 0)
      return ::testing::AssertionFailure() << volume << " holds no whole stripe";
    const uint64_t mine = static_cast<uint64_t>(frame_bytes) / request;
    std::vector<size_t> sizes(1, 4096);
    sizes.insert(sizes.end(), mine + 1, request);
    ::testing::AssertionResult read =
        ReadStripe(dir, static_cast<int>(s), sizes, &records[s]);
    if (!read) return read << " (" << volume << ")";
    frames += mine;
  }
  if (!compressed &&
      frames != (in.length == 0 ? 1 : (in.length + payload - 1) / payload))
    return ::testing::AssertionFailure() << dir << " holds " << frames << " frames";
  Bytes stored;
  for (uint64_t k = 0; k < frames; ++k) {
    const Bytes &frame = records[k % in.stripes][1 + k / in.stripes];
    uint64_t length = std::min(payload, in.length - std::min(in.length, k * payload));
    if (compressed) length = k + 1 < frames ? payload : Little(frame, 32, 4);
    if (length > payload || (compressed && length == 0))
      return ::testing::AssertionFailure()
             << dir << ": frame " << k << " has a payload of " << length << " bytes";
    const Bytes part = compressed ? Slice(frame, 128, length)
                                  : Slice(stream, k * payload, length);
    stored.insert(stored.end(), part.begin(), part.end());
  }
  if (compressed) {
    Bytes restored(in.length + 1);
    const size_t got =
        ZSTD_decompress(restored.data(), restored.size(), stored.data(), stored.size());
    if (ZSTD_findFrameCompressedSize(stored.data(), stored.size()) != stored.size() ||
        ZSTD_isError(got) || got != in.length ||
        !std::equal(stream.begin(), stream.end(), restored.begin()))
      return ::testing::AssertionFailure()
             << dir << ": the payloads are not one zstd frame of the input";
  }

  Bytes backup_id;
  uint64_t created = 0;
  Bytes frame_digests;
  for (uint64_t k = 0; k < frames; ++k) {
    const uint32_t s = static_cast<uint32_t>(k % in.stripes);
    const std::string volume = dir + "/s" + std::to_string(s) + ".1";
    if (k == 0) {
      ::testing::AssertionResult identity =
          ReadIdentity(volume, records[0].front(), &backup_id, &created);
      if (!identity) return identity;
    }
    const uint64_t at = k * payload;
    const Bytes part = Slice(stored, at, std::min(payload, stored.size() - at));
    std::vector<Field> frame = FrameFields(backup_id, k, frames, part);
    frame.back().at = 128;
    Bytes fields = Concat({frame[0].expect, frame[1].expect, frame[2].expect,
                           frame[3].expect, frame[4].expect, Bytes(56, 0)});
    const Bytes digest = Sha256(Concat({fields, Sha256(part)}));
    frame_digests.insert(frame_digests.end(), digest.begin(), digest.end());
    frame.insert(frame.end() - 1, {"the frame digest", 96, digest});
    ::testing::AssertionResult checked = CheckRecord(
        volume + " frame " + std::to_string(k), records[s][1 + k / in.stripes], frame);
    if (!checked) return checked;
  }
  const Bytes stored_seal = Sha256(Concat({frame_digests, Le(frames, 8)}));

  for (uint32_t s = 0; s < in.stripes; ++s) {
    const std::string volume = dir + "/s" + std::to_string(s) + ".1";
    const Bytes &header = records[s].front();
    const Bytes &trailer = records[s].back();
    const uint64_t mine = records[s].size() - 2;
    if (mine != frames / in.stripes + (s < frames % in.stripes ? 1 : 0))
      return ::testing::AssertionFailure() << volume << " holds " << mine << " frames";
    std::vector<Field> fields = Opening("KORBRSTR", 3, s, request, backup_id);
    fields.insert(fields.end(),
                  {{"the creation time", 40, Le(created, 8)},
                   {"the database name", 48, Text(in.dbname, 32)},
                   {"the compression", 80, Le(compressed ? 1 : 0, 4)},
                   {"the seal", 4064, Sha256(Slice(header, 0, 4064))}});
    ::testing::AssertionResult checked =
        CheckRecord(volume + " header", header, fields);
    if (!checked) return checked;
    fields = Opening("KORBREND", 3, s, request, backup_id);
    fields.insert(fields.end(),
                  {{"the input length", 40, Le(in.length, 8)},
                   {"the frame count", 48, Le(frames, 8)},
                   {"the stripe's frame count", 56, Le(mine, 8)},
                   {"the content seal", 64, content_seal},
                   {"the stored length", 96, Le(stored.size(), 8)},
                   {"the chunk size", 104, Le(payload, 4)},
                   {"the stored seal", 112, stored_seal},
                   {"the seal", 4064, Sha256(Slice(trailer, 0, 4064))}});
    checked = CheckRecord(volume + " trailer", trailer, fields);
    if (!checked) return checked;
  }
  if (files != ListDirectory(dir))
    return ::testing::AssertionFailure() << dir << " holds other files";
  return ::testing::AssertionSuccess();
}
::testing::AssertionResult CheckVersion3Plain(const std::string &dir) {
  return CheckVersion3(dir, false);
}
::testing::AssertionResult CheckVersion3Zstd(const std::string &dir) {
  return CheckVersion3(dir, true);
}

// Every format version and variant with its sample directory
// stream-v<version><suffix> (StreamSampleName).
struct StreamVersion {
  uint32_t version;
  const char *suffix;  // of the StreamVariant
  ::testing::AssertionResult (*check)(const std::string &dir);
};
const StreamVersion kVersions[] = {
    {1, "", CheckVersion1},
    {2, "", CheckVersion2Plain},
    {2, "-zstd", CheckVersion2Zstd},
    {3, "", CheckVersion3Plain},
    {3, "-zstd", CheckVersion3Zstd},
};
void PrintTo(const StreamVersion &v, std::ostream *out) {
  *out << "version " << v.version << v.suffix;
}

const StreamVersion *FindVersion(uint32_t version, const StreamVariant &variant) {
  for (const StreamVersion &v : kVersions)
    if (v.version == version && std::string(v.suffix) == variant.suffix) return &v;
  return nullptr;
}

std::string SampleName(const StreamVersion &v) {
  return StreamSampleName(v.version, StreamVariant{v.suffix, ""});
}

TEST(StreamSamplesTest, EveryCommittedVersionHasAChecker) {
  std::vector<std::string> committed, checked;
  for (const std::string &name : ListDirectory(SamplesRoot()))
    if (name.compare(0, 8, "stream-v") == 0) committed.push_back(name);
  for (const StreamVersion &v : kVersions) checked.push_back(SampleName(v) + "/");
  std::sort(checked.begin(), checked.end());
  EXPECT_EQ(checked, committed);
}

class StreamSampleTest : public ::testing::TestWithParam<StreamVersion> {};

TEST_P(StreamSampleTest, HoldsTheStreamAndRestoresToday) {
  const std::string committed = SamplesRoot() + "/" + SampleName(GetParam());
  EXPECT_TRUE(GetParam().check(committed));

  TempDir dir;
  CopyDirectory(committed, dir.Sub("copy"));
  ASSERT_TRUE(RunCommand(ShellQuote(Korbr()) + " restore --quiet --device " +
                         ShellQuote(StreamSampleDevice(dir.Sub("copy"))) + " " +
                         ShellQuote(dir.Sub("out"))));
  Bytes expect(StreamSample().length);
  FillStream(StreamSample().seed, 0, expect.data(), expect.size());
  EXPECT_EQ(expect, ReadWholeFile(dir.Sub("out")));
}

INSTANTIATE_TEST_SUITE_P(
    Frozen, StreamSampleTest, ::testing::ValuesIn(kVersions),
    [](const ::testing::TestParamInfo<StreamVersion> &info) {
      std::string name = SampleName(info.param).substr(7);  // "v2-zstd"
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST(StreamSamplesTest, TodaysStreamIsAVersionWithASample) {
  for (const StreamVariant &variant : StreamVariants()) {
    TempDir dir;
    uint32_t version = 0;
    ASSERT_TRUE(WriteStreamSample(Korbr(), dir.path(), variant, &version));
    const StreamVersion *known = FindVersion(version, variant);
    ASSERT_NE(nullptr, known)
        << "korbr writes stream format version " << version
        << ", which has no sample: make tests/samples/"
        << StreamSampleName(version, variant)
        << " and its checker (tests/samples/README.md)";
    EXPECT_TRUE(known->check(dir.path())) << StreamSampleName(version, variant);
  }
}

}  // namespace
}  // namespace korit
