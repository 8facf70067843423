// korbr's SHA-256 wrapper against the FIPS 180 examples and a few lengths
// around the padding boundaries (reference digests from an independent
// tool), fed in one piece and in awkward pieces: what the wrapper adds to
// libcrypto is the piecewise feeding and the restart after Finish.
#include "cli/format/sha256.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace cli {
namespace {

struct Vector {
  std::string message;
  const char *digest;
};

std::vector<Vector> ReferenceVectors() {
  return {
      {"abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmn"
       "opjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // One byte short of room for the length, exactly no room, and the
      // block boundaries: the padding takes one or two blocks.
      {std::string(55, 'a'),
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'),
       "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'),
       "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'),
       "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'),
       "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(119, 'a'),
       "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {std::string(120, 'a'),
       "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
}

std::string OneShot(const std::string &message) {
  Sha256 sha;
  sha.Update(message.data(), message.size());
  return DigestHex(sha.Finish());
}

// Feeds the message in pieces of 1, 2, 3, ... bytes (wrapping at 70), so
// pieces straddle block boundaries in every way.
std::string Piecewise(const std::string &message) {
  Sha256 sha;
  size_t at = 0, piece = 1;
  while (at < message.size()) {
    size_t take = std::min(piece, message.size() - at);
    sha.Update(message.data() + at, take);
    at += take;
    piece = piece % 70 + 1;
  }
  return DigestHex(sha.Finish());
}

TEST(Sha256Test, ReferenceVectorsInOnePieceAndInPieces) {
  for (const Vector &v : ReferenceVectors()) {
    SCOPED_TRACE("length " + std::to_string(v.message.size()));
    EXPECT_EQ(OneShot(v.message), v.digest);
    EXPECT_EQ(Piecewise(v.message), v.digest);
  }
}

TEST(Sha256Test, FinishStartsANewMessage) {
  Sha256 sha;
  sha.Update("xyz", 3);
  sha.Finish();
  sha.Update("abc", 3);
  EXPECT_EQ(DigestHex(sha.Finish()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DigestHex(Sha256Of("abc", 3)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace cli
}  // namespace kor
