// The data key comes back only to a recipient the backup was encrypted to,
// or to the right passphrase, and only from an unchanged key area of that
// backup: each bound byte of the area is flipped in turn and must be
// refused.  The keys are the committed ones the openssl tool made.
#include "cli/format/key_area.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/format/key_files.h"

namespace kor {
namespace cli {
namespace {

const std::string kKeys = KORBR_TEST_KEYS_DIR;

class KeyAreaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/korbr-keyarea-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    ASSERT_TRUE(NewDataKey(&data_key_));
    for (size_t i = 0; i < id_.size(); ++i) id_[i] = static_cast<uint8_t>(i);
  }
  void TearDown() override {
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  // A committed file copied owner-only (git keeps no such mode).
  std::string Private(const std::string &name) {
    std::ifstream in(kKeys + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text.str();
    EXPECT_EQ(0, chmod(path.c_str(), 0600));
    return path;
  }
  void ReadPrivate(const std::string &name, PrivateKey *key) {
    std::string error;
    ASSERT_TRUE(ReadPrivateKeyFile(Private(name), key, &error)) << error;
  }
  X25519PublicKey Public(const std::string &name) {
    X25519PublicKey key{};
    std::string error;
    EXPECT_TRUE(ReadPublicKeyFile(kKeys + "/" + name, &key, &error)) << error;
    return key;
  }
  SecretBuffer Passphrase(const char *text) {
    SecretBuffer buffer(std::strlen(text));
    std::memcpy(buffer.data(), text, buffer.capacity());
    buffer.set_size(buffer.capacity());
    return buffer;
  }
  bool SameKey(const DataKey &a, const DataKey &b) {
    return std::memcmp(a.data(), b.data(), a.size()) == 0;
  }

  std::string dir_;
  DataKey data_key_;
  BackupId id_{};
  ScryptCost cheap_;  // the least cost a reader accepts: tests stay quick
};

TEST_F(KeyAreaTest, EachRecipientAndNoOneElseOpensIt) {
  PrivateKey alice, bob;
  ReadPrivate("alice.key.pem", &alice);
  ReadPrivate("bob.key.pem", &bob);
  std::vector<uint8_t> area(kKeyAreaSize);
  std::string error;
  ASSERT_TRUE(WrapForRecipients(
      data_key_, id_, {Public("alice.pub.pem"), Public("bob.pub.pem")},
      area.data(), &error))
      << error;
  for (const PrivateKey *key : {&alice, &bob}) {
    DataKey opened;
    ASSERT_TRUE(UnwrapWithKey(area.data(), id_, *key, &opened, &error))
        << error;
    EXPECT_TRUE(SameKey(data_key_, opened));
  }
  // Only alice's slot: bob is refused, and told which keys would do.
  ASSERT_TRUE(WrapForRecipients(data_key_, id_, {Public("alice.pub.pem")},
                                area.data(), &error));
  DataKey opened;
  EXPECT_FALSE(UnwrapWithKey(area.data(), id_, bob, &opened, &error));
  EXPECT_NE(std::string::npos, error.find("not encrypted to this key"))
      << error;
  EXPECT_NE(std::string::npos, error.find(KeyIdHex(KeyIdOf(alice.public_key))))
      << error;
}

TEST_F(KeyAreaTest, OnlyTheRightPassphraseOpensIt) {
  cheap_.log2_n = 10;
  std::vector<uint8_t> area(kKeyAreaSize);
  std::string error;
  ASSERT_TRUE(WrapWithPassphrase(data_key_, id_, Passphrase("open sesame"),
                                 cheap_, area.data(), &error))
      << error;
  DataKey opened;
  ASSERT_TRUE(UnwrapWithPassphrase(area.data(), id_, Passphrase("open sesame"),
                                   &opened, &error))
      << error;
  EXPECT_TRUE(SameKey(data_key_, opened));
  EXPECT_FALSE(UnwrapWithPassphrase(area.data(), id_, Passphrase("open sesamE"),
                                    &opened, &error));
  EXPECT_NE(std::string::npos, error.find("passphrase is wrong")) << error;
}

TEST_F(KeyAreaTest, AChangedByteOrAnotherBackupIsRefused) {
  PrivateKey alice;
  ReadPrivate("alice.key.pem", &alice);
  cheap_.log2_n = 10;
  std::vector<uint8_t> recipients(kKeyAreaSize), passphrase(kKeyAreaSize);
  std::string error;
  ASSERT_TRUE(WrapForRecipients(
      data_key_, id_, {Public("bob.pub.pem"), Public("alice.pub.pem")},
      recipients.data(), &error));
  ASSERT_TRUE(WrapWithPassphrase(data_key_, id_, Passphrase("pw"), cheap_,
                                 passphrase.data(), &error));
  const size_t alice_slot = kKeyAreaPrefixSize + kKeySlotSize;
  const size_t slot = kKeyAreaPrefixSize;
  struct Case {
    const char *what;
    bool with_passphrase;
    size_t offset;  // the byte flipped; past the area: the backup id
  };
  const Case cases[] = {
      {"the wrapping method", false, 8},
      {"the slot count", false, 12},
      {"the prefix's reserved bytes", false, 20},
      {"the recipient's key id", false, alice_slot},
      {"the ephemeral public key", false, alice_slot + 8},
      {"the sealed data key", false, alice_slot + 40},
      {"the tag", false, alice_slot + 72},
      {"another backup", false, kKeyAreaSize},
      {"the scrypt cost", true, slot},
      {"the salt", true, slot + 16},
      {"the sealed data key", true, slot + 40},
      {"the tag", true, slot + 87},
      {"another backup", true, kKeyAreaSize},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> area = c.with_passphrase ? passphrase : recipients;
    BackupId id = id_;
    if (c.offset < kKeyAreaSize) {
      area[c.offset] ^= 1;
    } else {
      id[3] ^= 1;
    }
    DataKey opened;
    const bool opens =
        c.with_passphrase
            ? UnwrapWithPassphrase(area.data(), id, Passphrase("pw"), &opened,
                                   &error)
            : UnwrapWithKey(area.data(), id, alice, &opened, &error);
    EXPECT_FALSE(opens) << c.what;
    EXPECT_TRUE(SameKey(DataKey(), opened)) << c.what << ": key left behind";
  }
}

}  // namespace
}  // namespace cli
}  // namespace kor
