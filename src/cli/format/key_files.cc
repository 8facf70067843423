// Reading key and passphrase files.
#include "cli/format/key_files.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kor {
namespace cli {
namespace {

// No key or passphrase file is anywhere near this long.
constexpr off_t kMaxKeyFileSize = 64 * 1024;

struct OpenSslFree {
  void operator()(BIO *bio) const { BIO_free(bio); }
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};

bool Fail(std::string *error, const std::string &text) {
  // Leave nothing of this failure for a later libcrypto call to report.
  ERR_clear_error();
  *error = text;
  return false;
}

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Reads the whole of `path` into *contents.  `what` names the file in
// errors ("private key file").  A secret's file must be accessible to its
// owner only.
bool ReadKeyFile(const std::string &path, const char *what, bool secret,
                 SecretBuffer *contents, std::string *error) {
  const std::string named = std::string(what) + " " + path;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return Fail(error, "cannot open " + named + ": " + std::strerror(errno));
  struct stat st;
  std::string why;
  if (fstat(fd, &st) != 0) {
    why = "cannot stat " + named + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = named + " is not a regular file";
  } else if (secret && (st.st_mode & 077) != 0) {
    why = named + " has mode " + ModeText(st.st_mode) +
          ": it must be accessible by its owner only (chmod 600 " + path + ")";
  } else if (st.st_size > kMaxKeyFileSize) {
    why = named + " is too large for a key file";
  }
  if (!why.empty()) {
    close(fd);
    return Fail(error, why);
  }
  *contents = SecretBuffer(static_cast<size_t>(st.st_size) + 1);
  size_t have = 0;
  // The file may have grown since fstat: one byte over the size it had is
  // enough to tell.
  while (have < contents->capacity()) {
    const ssize_t got =
        read(fd, contents->data() + have, contents->capacity() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      why = "cannot read " + named + ": " + std::strerror(errno);
      break;
    }
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  close(fd);
  if (why.empty() && have > static_cast<size_t>(st.st_size)) {
    why = named + " changed while it was read";
  }
  if (!why.empty()) return Fail(error, why);
  contents->set_size(have);
  return true;
}

// libcrypto asks for a password when a PEM key is encrypted; korbr never
// prompts, so such a key fails to load.
int NoPassword(char *, int, int, void *) { return -1; }

std::unique_ptr<BIO, OpenSslFree> MemoryBio(const SecretBuffer &contents) {
  return std::unique_ptr<BIO, OpenSslFree>(
      BIO_new_mem_buf(contents.data(), static_cast<int>(contents.size())));
}

bool HoldsText(const SecretBuffer &contents, const char *text) {
  const size_t length = std::strlen(text);
  for (size_t i = 0; i + length <= contents.size(); ++i) {
    if (std::memcmp(contents.data() + i, text, length) == 0) return true;
  }
  return false;
}

}  // namespace

bool ReadPublicKeyFile(const std::string &path, X25519PublicKey *key,
                       std::string *error) {
  SecretBuffer contents;
  if (!ReadKeyFile(path, "public key file", false, &contents, error)) {
    return false;
  }
  auto bio = MemoryBio(contents);
  std::unique_ptr<EVP_PKEY, OpenSslFree> pkey(
      bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassword, nullptr)
          : nullptr);
  if (!pkey && HoldsText(contents, "PRIVATE KEY-----")) {
    return Fail(error, "public key file " + path +
                           " holds a private key; give the public key "
                           "('openssl pkey -pubout' makes it)");
  }
  size_t length = key->size();
  if (!pkey || EVP_PKEY_id(pkey.get()) != EVP_PKEY_X25519 ||
      EVP_PKEY_get_raw_public_key(pkey.get(), key->data(), &length) != 1 ||
      length != key->size()) {
    return Fail(error, "public key file " + path +
                           " holds no X25519 public key in PEM");
  }
  return true;
}

bool ReadPrivateKeyFile(const std::string &path, PrivateKey *key,
                        std::string *error) {
  SecretBuffer contents;
  if (!ReadKeyFile(path, "private key file", true, &contents, error)) {
    return false;
  }
  auto bio = MemoryBio(contents);
  std::unique_ptr<EVP_PKEY, OpenSslFree> pkey(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr)
          : nullptr);
  size_t secret_length = key->secret.size();
  size_t public_length = key->public_key.size();
  if (!pkey || EVP_PKEY_id(pkey.get()) != EVP_PKEY_X25519 ||
      EVP_PKEY_get_raw_private_key(pkey.get(), key->secret.data(),
                                   &secret_length) != 1 ||
      secret_length != key->secret.size() ||
      EVP_PKEY_get_raw_public_key(pkey.get(), key->public_key.data(),
                                  &public_length) != 1 ||
      public_length != key->public_key.size()) {
    key->secret.Wipe();
    return Fail(error, "private key file " + path +
                           " holds no unencrypted X25519 private key in "
                           "PEM");
  }
  return true;
}

bool ReadPassphraseFile(const std::string &path, SecretBuffer *passphrase,
                        std::string *error) {
  SecretBuffer contents;
  if (!ReadKeyFile(path, "passphrase file", true, &contents, error)) {
    return false;
  }
  size_t length = 0;
  while (length < contents.size() && contents.data()[length] != '\n') {
    ++length;
  }
  if (length == 0) {
    return Fail(error, "passphrase file " + path +
                           " has an empty first line; the passphrase is "
                           "its first line");
  }
  *passphrase = SecretBuffer(length);
  std::memcpy(passphrase->data(), contents.data(), length);
  passphrase->set_size(length);
  return true;
}

}  // namespace cli
}  // namespace kor
