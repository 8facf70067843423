// Buffers for keys and passphrases.
//
// A secret korbr holds (a backup's data key, a private key, a passphrase)
// lives only in one of these: a fixed place in memory that is overwritten
// with OPENSSL_cleanse (which the compiler cannot drop as a dead store) when
// it goes, never copied implicitly, never grown (a growing std::string
// would leave the old copy behind in freed memory).  Nothing here prints or
// traces its bytes.  The process is kept out of core dumps while it holds
// one (session/secret_guard.h).
#ifndef KORBR_CLI_SECRET_BYTES_H_
#define KORBR_CLI_SECRET_BYTES_H_

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kor {
namespace cli {

// N secret bytes inside the owning object.
template <size_t N>
class SecretBytes {
 public:
  SecretBytes() { bytes_.fill(0); }
  ~SecretBytes() { Wipe(); }
  SecretBytes(const SecretBytes &) = delete;
  SecretBytes &operator=(const SecretBytes &) = delete;

  uint8_t *data() { return bytes_.data(); }
  const uint8_t *data() const { return bytes_.data(); }
  static constexpr size_t size() { return N; }
  // An explicit copy, for the rare holder that needs its own.
  void CopyFrom(const SecretBytes &other) { bytes_ = other.bytes_; }
  void Wipe() { OPENSSL_cleanse(bytes_.data(), N); }

 private:
  std::array<uint8_t, N> bytes_;
};

// Up to `capacity` secret bytes on the heap (a file's contents, a
// passphrase), sized once.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  explicit SecretBuffer(size_t capacity)
      : bytes_(new uint8_t[capacity]()), capacity_(capacity) {}
  ~SecretBuffer() { Release(); }
  SecretBuffer(SecretBuffer &&other) noexcept { *this = std::move(other); }
  SecretBuffer &operator=(SecretBuffer &&other) noexcept {
    if (this != &other) {
      Release();
      bytes_ = std::move(other.bytes_);
      capacity_ = other.capacity_;
      size_ = other.size_;
      other.capacity_ = other.size_ = 0;
    }
    return *this;
  }
  SecretBuffer(const SecretBuffer &) = delete;
  SecretBuffer &operator=(const SecretBuffer &) = delete;

  uint8_t *data() { return bytes_.get(); }
  const uint8_t *data() const { return bytes_.get(); }
  size_t capacity() const { return capacity_; }
  // The bytes in use, at most capacity().
  size_t size() const { return size_; }
  void set_size(size_t size) { size_ = size < capacity_ ? size : capacity_; }

 private:
  void Release() {
    if (bytes_) OPENSSL_cleanse(bytes_.get(), capacity_);
    bytes_.reset();
  }
  std::unique_ptr<uint8_t[]> bytes_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SECRET_BYTES_H_
