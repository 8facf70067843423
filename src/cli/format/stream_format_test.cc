// The stream format without the library: a stream is encoded into the
// requests each stripe would carry, then fed to the checker the way a
// restore reads it.  The round trips cover empty, short, exact-multiple and
// long streams on one and several stripes; the damaged cases change one
// thing each (a byte of payload, a frame, a trailer, a stripe's order, a
// foreign stripe) and must be refused with a reason that names it.
#include "cli/format/stream_format.h"

#include <gtest/gtest.h>

#include "cli/format/stream_seals.h"

#include <cstring>
#include <string>
#include <vector>

namespace kor {
namespace cli {
namespace {

using Request = std::vector<uint8_t>;
using Stripes = std::vector<std::vector<Request>>;  // per stripe, in order

BackupId TestId(uint8_t seed) {
  BackupId id;
  for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(seed + i);
  return id;
}

std::vector<uint8_t> TestStream(size_t length) {
  std::vector<uint8_t> data(length);
  uint32_t x = 12345;
  for (auto &b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

// Cuts the stream into frames as the backup does and deals them out.
Stripes Encode(const std::vector<uint8_t> &stream, uint32_t stripes,
               uint32_t request, uint8_t id_seed = 1, uint32_t version = 2) {
  StreamEncoder encoder(TestId(id_seed), stripes, request, 1700000000,
                        "salesdb", Compression::kNone, version);
  Stripes out(stripes);
  for (uint32_t s = 0; s < stripes; ++s) {
    Request header(kHeaderRequestSize);
    encoder.EncodeHeaderFor(s, header.data());
    out[s].push_back(header);
  }
  const uint32_t capacity = encoder.payload_capacity();
  Sha256Digest digest = Sha256Of(stream.data(), stream.size());
  SealChain stored, content;
  size_t at = 0;
  do {
    const uint32_t take =
        static_cast<uint32_t>(std::min<size_t>(capacity, stream.size() - at));
    const bool last = at + take == stream.size();
    Request frame(request, 0xEE);  // the padding must be cleared
    if (take > 0) {
      std::memcpy(frame.data() + encoder.payload_offset(), stream.data() + at,
                  take);
    }
    const uint32_t stripe = encoder.NextStripe();
    encoder.SealNextFrame(frame.data(), take, last);
    if (version >= 3) {
      const Sha256Digest payload = StampFrameDigest(frame.data());
      if (take > 0) content.Add(payload);
      stored.Add(FrameDigestOf(frame.data(), payload));
    }
    out[stripe].push_back(frame);
    at += take;
  } while (at < stream.size());
  const Sha256Digest stored_seal = stored.FinishStored();
  if (version >= 3) digest = content.FinishContent(stream.size(), capacity);
  for (uint32_t s = 0; s < stripes; ++s) {
    Request trailer(request);
    encoder.EncodeTrailerFor(s, stream.size(), digest, stored_seal,
                             trailer.data());
    out[s].push_back(trailer);
  }
  return out;
}

// Reads the requests back as a restore does.  Returns true and the stream,
// or false and the checker's reason.
bool Restore(const Stripes &stripes, uint32_t expected, std::string *output,
             std::string *why) {
  StreamChecker checker(expected);
  Sha256 sha;
  SealChain content;
  std::vector<size_t> next(stripes.size(), 0);
  for (uint32_t s = 0; s < stripes.size(); ++s) {
    const Request &r = stripes[s][next[s]++];
    if (!checker.AcceptHeader(s, r.data(), r.size(), why)) return false;
  }
  EXPECT_TRUE(checker.HaveAllHeaders());
  while (checker.ExpectingFrames()) {
    const uint32_t s = checker.NextStripe();
    if (next[s] >= stripes[s].size()) {
      *why = "ran out of requests";
      return false;
    }
    const Request &r = stripes[s][next[s]++];
    if (!FrameIntact(checker.header().version, r.data(), r.size(), why)) {
      return false;
    }
    const uint8_t *payload = nullptr;
    uint32_t length = 0;
    if (!checker.AcceptFrame(s, r.data(), r.size(), &payload, &length, why)) {
      return false;
    }
    output->append(reinterpret_cast<const char *>(payload), length);
    sha.Update(payload, length);
    if (length > 0) content.Add(Sha256Of(payload, length));
  }
  for (uint32_t s = 0; s < stripes.size(); ++s) {
    if (next[s] >= stripes[s].size()) {
      *why = "ran out of requests";
      return false;
    }
    const Request &r = stripes[s][next[s]++];
    if (!checker.AcceptTrailer(s, r.data(), r.size(), why)) return false;
  }
  const uint32_t version = checker.header().version;
  const uint32_t request = checker.header().request_size;
  return checker.Finish(output->size(),
                        version >= 3 ? content.FinishContent(
                                           output->size(),
                                           ContentChunkSize(request))
                                     : sha.Finish(),
                        why);
}

std::string AsText(const std::vector<uint8_t> &v) {
  return std::string(v.begin(), v.end());
}

TEST(StreamFormatTest, RoundTripsOfEveryShape) {
  const uint32_t request = 4096;
  for (uint32_t version : {2u, 3u})
  for (uint32_t stripes : {1u, 2u, 3u, 32u}) {
    const uint32_t capacity = FramePayloadCapacity(request, version);
    for (size_t length :
         {size_t{0}, size_t{1}, size_t{capacity - 1}, size_t{capacity},
          size_t{capacity} * 7, size_t{capacity} * 7 + 5, size_t{100000}}) {
      SCOPED_TRACE("version " + std::to_string(version) + ", " +
                   std::to_string(stripes) + " stripes, " +
                   std::to_string(length) + " bytes");
      const std::vector<uint8_t> stream = TestStream(length);
      Stripes encoded = Encode(stream, stripes, request, 1, version);
      // Every request of a stripe after its header has the request size.
      for (const auto &stripe : encoded) {
        ASSERT_GE(stripe.size(), 2u);
        EXPECT_EQ(stripe.front().size(), kHeaderRequestSize);
        for (size_t i = 1; i < stripe.size(); ++i)
          EXPECT_EQ(stripe[i].size(), request);
      }
      std::string output, why;
      ASSERT_TRUE(Restore(encoded, stripes, &output, &why)) << why;
      EXPECT_EQ(output, AsText(stream));
      // Without a stripe count the first header supplies it.
      output.clear();
      ASSERT_TRUE(Restore(encoded, 0, &output, &why)) << why;
      EXPECT_EQ(output, AsText(stream));
    }
  }
}

TEST(StreamFormatTest, HeaderAndTrailerFieldsSurviveEncoding) {
  StreamHeader h;
  h.stripe_count = 5;
  h.stripe_index = 4;
  h.request_size = 1 << 20;
  h.backup_id = TestId(9);
  h.created = 0x123456789ull;
  h.dbname = std::string(40, 'n');  // longer than the field: cut to 30
  Request bytes(kHeaderRequestSize);
  EncodeHeader(h, bytes.data());
  StreamHeader back;
  std::string why;
  ASSERT_TRUE(DecodeHeader(bytes.data(), bytes.size(), &back, &why)) << why;
  EXPECT_EQ(back.stripe_count, 5u);
  EXPECT_EQ(back.stripe_index, 4u);
  EXPECT_EQ(back.request_size, 1u << 20);
  EXPECT_EQ(back.backup_id, h.backup_id);
  EXPECT_EQ(back.created, 0x123456789ull);
  EXPECT_EQ(back.dbname, std::string(30, 'n'));

  // A header from a newer format is refused by name.
  h.version = kStreamFormatVersion + 1;
  EncodeHeader(h, bytes.data());
  EXPECT_FALSE(DecodeHeader(bytes.data(), bytes.size(), &back, &why));
  EXPECT_NE(why.find("format version 4"), std::string::npos) << why;

  // Any changed byte of the sealed part is noticed.
  h.version = kStreamFormatVersion;
  EncodeHeader(h, bytes.data());
  bytes[13] ^= 1;
  EXPECT_FALSE(DecodeHeader(bytes.data(), bytes.size(), &back, &why));
  EXPECT_NE(why.find("damaged"), std::string::npos) << why;

  // Something that is not a header at all.
  Request zeros(kHeaderRequestSize, 0);
  EXPECT_FALSE(DecodeHeader(zeros.data(), zeros.size(), &back, &why));
  EXPECT_NE(why.find("not a korbr stream header"), std::string::npos);
}

// The stream as version 1 wrote it: no frame checksums.
void DowngradeToVersion1(Stripes *stripes) {
  for (auto &stripe : *stripes) {
    StreamHeader h;
    ASSERT_TRUE(
        DecodeHeader(stripe.front().data(), kHeaderRequestSize, &h, nullptr));
    h.version = 1;
    EncodeHeader(h, stripe.front().data());
    for (size_t i = 1; i + 1 < stripe.size(); ++i) {
      FrameHeader f;
      ASSERT_TRUE(
          DecodeFrameHeader(2, stripe[i].data(), stripe[i].size(), &f,
                            nullptr));
      SealFrame(f, stripe[i].data(), static_cast<uint32_t>(stripe[i].size()),
                1);
    }
    StreamTrailer t;
    ASSERT_TRUE(
        DecodeTrailer(stripe.back().data(), stripe.back().size(), &t, nullptr));
    t.version = 1;
    EncodeTrailer(t, stripe.back().data());
  }
}

TEST(StreamFormatTest, VersionOneStreamsStayReadable) {
  const std::vector<uint8_t> stream = TestStream(30000);
  Stripes encoded = Encode(stream, 3, 4096);
  DowngradeToVersion1(&encoded);
  std::string output, why;
  ASSERT_TRUE(Restore(encoded, 3, &output, &why)) << why;
  EXPECT_EQ(output, AsText(stream));
}

TEST(StreamFormatTest, DamagedPayloadIsCaughtAtItsFrameOrByTheSeal) {
  const std::vector<uint8_t> stream = TestStream(30000);
  for (uint32_t version : {2u, 1u}) {
    SCOPED_TRACE("version " + std::to_string(version));
    Stripes encoded = Encode(stream, 3, 4096);
    if (version == 1) DowngradeToVersion1(&encoded);
    encoded[1][2][kFrameHeaderSize + 10] ^= 0x40;  // stripe 1, its 2nd frame
    std::string output, why;
    EXPECT_FALSE(Restore(encoded, 3, &output, &why));
    if (version == 2) {
      // Frame 4 (the 2nd of stripe 1) is refused before it is handed on.
      EXPECT_NE(why.find("frame 4 is damaged"), std::string::npos) << why;
      EXPECT_EQ(output.size(), 4u * FramePayloadCapacity(4096));
    } else {
      EXPECT_NE(why.find("checksum mismatch"), std::string::npos) << why;
    }
  }
}

TEST(StreamFormatTest, MissingOrMisplacedRequestsAreNamed) {
  const std::vector<uint8_t> stream = TestStream(50000);
  std::string output, why;

  {  // A frame lost from stripe 2: the next one there has the wrong number.
    Stripes encoded = Encode(stream, 3, 4096);
    encoded[2].erase(encoded[2].begin() + 1);
    EXPECT_FALSE(Restore(encoded, 3, &output, &why));
    EXPECT_NE(why.find("frame 5 where frame 2 was expected"), std::string::npos)
        << why;
  }
  {  // A stripe that stops early: its trailer comes where a frame should.
    Stripes encoded = Encode(stream, 3, 4096);
    encoded[0].erase(encoded[0].end() - 2);
    EXPECT_FALSE(Restore(encoded, 3, &output, &why));
    EXPECT_NE(why.find("stripe 0 ends after"), std::string::npos) << why;
    EXPECT_NE(why.find("incomplete"), std::string::npos) << why;
  }
  {  // A trailer lost (the backup was cut off): more data where it should be.
    Stripes encoded = Encode(stream, 3, 4096);
    Stripes longer = Encode(TestStream(80000), 3, 4096);
    encoded[1].pop_back();
    encoded[1].push_back(longer[1][3]);
    EXPECT_FALSE(Restore(encoded, 3, &output, &why));
    EXPECT_NE(why.find("more data frames after the last frame"),
              std::string::npos)
        << why;
  }
  {  // Two stripes' devices swapped.
    Stripes encoded = Encode(stream, 3, 4096);
    std::swap(encoded[0], encoded[1]);
    EXPECT_FALSE(Restore(encoded, 3, &output, &why));
    EXPECT_NE(why.find("device of stripe 0 holds stripe 1"), std::string::npos)
        << why;
  }
  {  // One stripe from another backup.
    Stripes encoded = Encode(stream, 3, 4096);
    encoded[2] = Encode(stream, 3, 4096, /*id_seed=*/77)[2];
    EXPECT_FALSE(Restore(encoded, 3, &output, &why));
    EXPECT_NE(why.find("stripe 2 belongs to another backup"), std::string::npos)
        << why;
  }
  {  // Fewer devices given than the backup has stripes.
    Stripes encoded = Encode(stream, 3, 4096);
    encoded.pop_back();
    EXPECT_FALSE(Restore(encoded, 2, &output, &why));
    EXPECT_NE(why.find("the backup has 3 stripes, but 2 devices"),
              std::string::npos)
        << why;
  }
  {  // A damaged frame header: not a frame any more.
    Stripes encoded = Encode(stream, 3, 4096);
    encoded[1][1][0] = 'X';
    EXPECT_FALSE(Restore(encoded, 3, &output, &why));
    EXPECT_NE(why.find("not a korbr data frame"), std::string::npos) << why;
  }
  {  // A damaged trailer.
    Stripes encoded = Encode(stream, 3, 4096);
    encoded[2].back()[45] ^= 1;
    EXPECT_FALSE(Restore(encoded, 3, &output, &why));
    EXPECT_NE(why.find("trailer is damaged"), std::string::npos) << why;
  }
}

TEST(StreamFormatTest, FramesAreDealtRoundRobin) {
  EXPECT_EQ(FramesOnStripe(7, 3, 0), 3u);
  EXPECT_EQ(FramesOnStripe(7, 3, 1), 2u);
  EXPECT_EQ(FramesOnStripe(7, 3, 2), 2u);
  EXPECT_EQ(FramesOnStripe(1, 4, 3), 0u);
  Stripes encoded = Encode(TestStream(7 * 4048), 3, 4096);
  for (uint32_t s = 0; s < 3; ++s) {
    EXPECT_EQ(encoded[s].size() - 2, FramesOnStripe(7, 3, s));
    FrameHeader f;
    std::string why;
    ASSERT_TRUE(DecodeFrameHeader(2, encoded[s][1].data(), 4096, &f, &why));
    EXPECT_EQ(f.sequence, s);
  }
}

}  // namespace
}  // namespace cli
}  // namespace kor
