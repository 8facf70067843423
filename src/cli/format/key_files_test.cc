// Key and passphrase files as users make them: the openssl tool's PEM keys
// read back to the same key pair, and a secret that others may read, or a
// file that holds the wrong thing, refused with the file named.
#include "cli/format/key_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace kor {
namespace cli {
namespace {

const std::string kKeys = KORBR_TEST_KEYS_DIR;

std::string Contents(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class KeyFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/korbr-keyfiles-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  std::string Write(const std::string &name, const std::string &text,
                    mode_t mode) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    EXPECT_EQ(0, chmod(path.c_str(), mode));
    return path;
  }
  std::string dir_;
};

TEST_F(KeyFilesTest, ReadsTheKeyPairTheOpensslToolMade) {
  std::string error;
  PrivateKey key;
  ASSERT_TRUE(ReadPrivateKeyFile(
      Write("key.pem", Contents(kKeys + "/alice.key.pem"), 0600), &key, &error))
      << error;
  X25519PublicKey alice{}, bob{};
  ASSERT_TRUE(ReadPublicKeyFile(kKeys + "/alice.pub.pem", &alice, &error))
      << error;
  ASSERT_TRUE(ReadPublicKeyFile(kKeys + "/bob.pub.pem", &bob, &error));
  EXPECT_EQ(alice, key.public_key);
  EXPECT_NE(bob, key.public_key);

  SecretBuffer passphrase;
  ASSERT_TRUE(ReadPassphraseFile(
      Write("pass", "two words\nsecond line\n", 0400), &passphrase, &error))
      << error;
  EXPECT_EQ("two words",
            std::string(reinterpret_cast<const char *>(passphrase.data()),
                        passphrase.size()));
}

TEST_F(KeyFilesTest, RefusesSecretsOthersMayReadAndFilesOfTheWrongKind) {
  const std::string private_pem = Contents(kKeys + "/alice.key.pem");
  const std::string public_pem = Contents(kKeys + "/alice.pub.pem");
  enum Kind { kPrivate, kPublic, kPassphrase };
  struct Case {
    const char *what;
    Kind kind;
    std::string text;
    mode_t mode;
    const char *said;
  };
  const Case cases[] = {
      {"a private key readable by all", kPrivate, private_pem, 0644, "0644"},
      {"a private key readable by its group", kPrivate, private_pem, 0640,
       "0640"},
      {"a passphrase readable by all", kPassphrase, "pw\n", 0604, "0604"},
      {"an empty passphrase", kPassphrase, "\nsecond\n", 0600, "empty"},
      {"a public key given as the private key", kPrivate, public_pem, 0600,
       "no unencrypted X25519 private key"},
      {"a private key given as a recipient", kPublic, private_pem, 0600,
       "holds a private key"},
  };
  for (const Case &c : cases) {
    const std::string path = Write("file", c.text, c.mode);
    std::string error;
    PrivateKey key;
    X25519PublicKey public_key{};
    SecretBuffer passphrase;
    const bool read =
        c.kind == kPrivate  ? ReadPrivateKeyFile(path, &key, &error)
        : c.kind == kPublic ? ReadPublicKeyFile(path, &public_key, &error)
                            : ReadPassphraseFile(path, &passphrase, &error);
    EXPECT_FALSE(read) << c.what;
    EXPECT_NE(std::string::npos, error.find(path)) << c.what << ": " << error;
    EXPECT_NE(std::string::npos, error.find(c.said)) << c.what << ": " << error;
  }
  std::string error;
  PrivateKey key;
  EXPECT_FALSE(ReadPrivateKeyFile(dir_, &key, &error));
  EXPECT_NE(std::string::npos, error.find("not a regular file")) << error;
}

}  // namespace
}  // namespace cli
}  // namespace kor
