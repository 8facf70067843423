// A sealed payload opens only with its data key, in its own place: every
// field the associated data binds, the tag and the ciphertext are changed
// one at a time and must be refused with nothing of the payload left
// behind.  And no two messages of one backup share a nonce.
#include "cli/format/cipher.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

namespace kor {
namespace cli {
namespace {

BackupId TestId(uint8_t seed) {
  BackupId id;
  for (size_t i = 0; i < id.size(); ++i) id[i] = static_cast<uint8_t>(seed + i);
  return id;
}

std::vector<uint8_t> TestPayload(size_t length) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  return data;
}

TEST(PayloadCipherTest, OpensOnlyWhatWasSealedInItsPlace) {
  DataKey key;
  ASSERT_TRUE(NewDataKey(&key));
  const std::vector<uint8_t> payload = TestPayload(1000);
  const SealBinding place = FrameBinding(TestId(1), 3, 5, 1000, false);
  PayloadCipher sealer(key);
  ASSERT_TRUE(sealer.ok());
  std::vector<uint8_t> sealed = payload;  // sealed where it lies
  AeadTag tag;
  ASSERT_TRUE(sealer.Seal(place, sealed.data(), sealed.data(), &tag));
  ASSERT_NE(payload, sealed);

  PayloadCipher opener(key);
  std::vector<uint8_t> opened(sealed.size());
  ASSERT_TRUE(opener.Open(place, sealed.data(), opened.data(), tag));
  EXPECT_EQ(payload, opened);

  DataKey other_key;
  ASSERT_TRUE(NewDataKey(&other_key));
  PayloadCipher other_opener(other_key);
  struct Case {
    const char *what;
    std::function<void(SealBinding *, std::vector<uint8_t> *, AeadTag *)>
        change;
    PayloadCipher *cipher;
  };
  const Case cases[] = {
      {"a bit of the ciphertext",
       [](SealBinding *, std::vector<uint8_t> *c, AeadTag *) {
         (*c)[500] ^= 4;
       },
       &opener},
      {"a bit of the tag",
       [](SealBinding *, std::vector<uint8_t> *, AeadTag *t) { (*t)[15] ^= 1; },
       &opener},
      {"another backup",
       [](SealBinding *b, auto, auto) { b->backup_id[15] ^= 1; }, &opener},
      {"another stripe count",
       [](SealBinding *b, auto, auto) { b->stripe_count = 4; }, &opener},
      {"another sequence number",
       [](SealBinding *b, auto, auto) { b->number += uint64_t{1} << 32; },
       &opener},
      {"cut short by a byte",
       [](SealBinding *b, auto, auto) { b->length -= 1; }, &opener},
      {"marked last", [](SealBinding *b, auto, auto) { b->last = true; },
       &opener},
      {"read as a trailer",
       [](SealBinding *b, auto, auto) { b->part = SealedPart::kTrailer; },
       &opener},
      {"another data key", [](auto, auto, auto) {}, &other_opener},
  };
  for (const Case &c : cases) {
    SealBinding binding = place;
    std::vector<uint8_t> ciphertext = sealed;
    AeadTag changed_tag = tag;
    c.change(&binding, &ciphertext, &changed_tag);
    std::vector<uint8_t> out(ciphertext.size(), 0xEE);
    EXPECT_FALSE(
        c.cipher->Open(binding, ciphertext.data(), out.data(), changed_tag))
        << c.what;
    EXPECT_EQ(std::vector<uint8_t>(binding.length, 0),
              std::vector<uint8_t>(out.begin(), out.begin() + binding.length))
        << c.what << ": the refused payload must not be left in the output";
  }
}

TEST(PayloadCipherTest, NoTwoPlacesOfABackupShareANonce) {
  // Each frame, and the sealed block of the trailers whatever the number of
  // frames it closes.
  const BackupId id = TestId(9);
  std::set<Nonce> seen;
  size_t places = 0;
  for (uint64_t n :
       {uint64_t{0}, uint64_t{1}, uint64_t{255}, uint64_t{256},
        uint64_t{1} << 32, (uint64_t{1} << 32) + 1, ~uint64_t{0}}) {
    seen.insert(NonceOf(FrameBinding(id, 32, n, 100, false)));
    seen.insert(NonceOf(TrailerBinding(id, 32, n, 128)));
    places += 2;
  }
  EXPECT_EQ(places, seen.size());
}

}  // namespace
}  // namespace cli
}  // namespace kor
