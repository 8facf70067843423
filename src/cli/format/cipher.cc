// AES-256-GCM over frame payloads and trailer blocks.
#include "cli/format/cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>

#include "cli/format/stream_bytes.h"

namespace kor {
namespace cli {

using stream_bytes::Put32;
using stream_bytes::Put64;

SealBinding FrameBinding(const BackupId &backup_id, uint32_t stripe_count,
                         uint64_t sequence, uint32_t length, bool last) {
  SealBinding binding;
  binding.backup_id = backup_id;
  binding.stripe_count = stripe_count;
  binding.part = SealedPart::kFrame;
  binding.number = sequence;
  binding.length = length;
  binding.last = last;
  return binding;
}

SealBinding TrailerBinding(const BackupId &backup_id, uint32_t stripe_count,
                           uint64_t total_frames, uint32_t length) {
  SealBinding binding;
  binding.backup_id = backup_id;
  binding.stripe_count = stripe_count;
  binding.part = SealedPart::kTrailer;
  binding.number = total_frames;
  binding.length = length;
  return binding;
}

Nonce NonceOf(const SealBinding &binding) {
  Nonce nonce{};
  Put32(nonce.data(), static_cast<uint32_t>(binding.part));
  Put64(nonce.data() + 4, binding.number);
  return nonce;
}

AssociatedData AssociatedDataOf(const SealBinding &binding) {
  AssociatedData data{};
  std::memcpy(data.data(), binding.backup_id.data(), binding.backup_id.size());
  Put32(data.data() + 16, binding.stripe_count);
  Put32(data.data() + 20, static_cast<uint32_t>(binding.part));
  Put64(data.data() + 24, binding.number);
  Put32(data.data() + 32, binding.length);
  Put32(data.data() + 36, binding.last ? 1u : 0u);
  return data;
}

bool NewDataKey(DataKey *key) {
  if (RAND_bytes(key->data(), static_cast<int>(key->size())) == 1) {
    return true;
  }
  key->Wipe();
  return false;
}

PayloadCipher::PayloadCipher(const DataKey &key) {
  ctx_ = EVP_CIPHER_CTX_new();
  // The key schedule is made once; each payload then sets only its nonce.
  if (ctx_ != nullptr &&
      (EVP_EncryptInit_ex(ctx_, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) !=
           1 ||
       EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_IVLEN,
                           static_cast<int>(kNonceSize), nullptr) != 1 ||
       EVP_EncryptInit_ex(ctx_, nullptr, nullptr, key.data(), nullptr) != 1)) {
    EVP_CIPHER_CTX_free(ctx_);
    ctx_ = nullptr;
  }
}

// EVP_CIPHER_CTX_free wipes the key schedule.
PayloadCipher::~PayloadCipher() { EVP_CIPHER_CTX_free(ctx_); }

bool PayloadCipher::Run(const SealBinding &binding, const uint8_t *in,
                        uint8_t *out, bool encrypt) {
  if (ctx_ == nullptr || binding.length > INT_MAX) return false;
  const Nonce nonce = NonceOf(binding);
  const AssociatedData associated = AssociatedDataOf(binding);
  int written = 0;
  return EVP_CipherInit_ex(ctx_, nullptr, nullptr, nullptr, nonce.data(),
                           encrypt ? 1 : 0) == 1 &&
         EVP_CipherUpdate(ctx_, nullptr, &written, associated.data(),
                          static_cast<int>(associated.size())) == 1 &&
         (binding.length == 0 ||
          EVP_CipherUpdate(ctx_, out, &written, in,
                           static_cast<int>(binding.length)) == 1);
}

bool PayloadCipher::Seal(const SealBinding &binding, const uint8_t *in,
                         uint8_t *out, AeadTag *tag) {
  int written = 0;
  return Run(binding, in, out, true) &&
         EVP_EncryptFinal_ex(ctx_, out + binding.length, &written) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_GET_TAG,
                             static_cast<int>(tag->size()), tag->data()) == 1;
}

bool PayloadCipher::Open(const SealBinding &binding, const uint8_t *in,
                         uint8_t *out, const AeadTag &tag) {
  // libcrypto takes the expected tag through a non-const pointer.
  AeadTag expected = tag;
  int written = 0;
  const bool authentic =
      Run(binding, in, out, false) &&
      EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_GCM_SET_TAG,
                          static_cast<int>(expected.size()),
                          expected.data()) == 1 &&
      EVP_DecryptFinal_ex(ctx_, out + binding.length, &written) == 1;
  if (!authentic) OPENSSL_cleanse(out, binding.length);
  return authentic;
}

}  // namespace cli
}  // namespace kor
