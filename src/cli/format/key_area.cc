// Wrapping a backup's data key for X25519 recipients or a passphrase.
#include "cli/format/key_area.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>

#include "cli/format/sha256.h"
#include "cli/format/stream_bytes.h"

namespace kor {
namespace cli {
namespace {

using stream_bytes::Get32;
using stream_bytes::Put32;

constexpr char kKeyAreaMagic[8] = {'K', 'O', 'R', 'B', 'R', 'K', 'E', 'Y'};
constexpr char kSlotSalt[] = "korbr key slot";
constexpr char kSlotInfoLabel[] = "korbr x25519 slot";
constexpr size_t kSlotBoundBytes = 40;   // a slot's bytes the seal binds
constexpr size_t kSealedKeyOffset = 40;  // the sealed data key in a slot
constexpr size_t kSaltSize = 16;
// Key and nonce of a slot's seal, derived together.
constexpr size_t kWrapKeyMaterial = kDataKeySize + kNonceSize;
constexpr size_t kSlotAssociatedSize =
    kKeyAreaPrefixSize + sizeof(BackupId) + kSlotBoundBytes;

using WrapKey = SecretBytes<kWrapKeyMaterial>;

struct PkeyFree {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
  void operator()(EVP_PKEY_CTX *ctx) const { EVP_PKEY_CTX_free(ctx); }
  void operator()(EVP_CIPHER_CTX *ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, PkeyFree>;

uint8_t *SlotAt(uint8_t *area, uint32_t slot) {
  return area + kKeyAreaPrefixSize + slot * kKeySlotSize;
}
const uint8_t *SlotAt(const uint8_t *area, uint32_t slot) {
  return area + kKeyAreaPrefixSize + slot * kKeySlotSize;
}

void PutPrefix(KeyWrap wrap, uint32_t slots, uint8_t *area) {
  std::memset(area, 0, kKeyAreaSize);
  std::memcpy(area, kKeyAreaMagic, sizeof kKeyAreaMagic);
  Put32(area + 8, static_cast<uint32_t>(wrap));
  Put32(area + 12, slots);
}

std::array<uint8_t, kSlotAssociatedSize> SlotAssociatedData(
    const uint8_t *area, const BackupId &backup_id, const uint8_t *slot) {
  std::array<uint8_t, kSlotAssociatedSize> data;
  std::memcpy(data.data(), area, kKeyAreaPrefixSize);
  std::memcpy(data.data() + kKeyAreaPrefixSize, backup_id.data(),
              backup_id.size());
  std::memcpy(data.data() + kKeyAreaPrefixSize + backup_id.size(), slot,
              kSlotBoundBytes);
  return data;
}

// Seals (or opens) the data key in `slot` with the key and nonce in
// `wrap_key`.  Opening fails when the tag does not match.
bool SealSlot(const WrapKey &wrap_key, const uint8_t *area,
              const BackupId &backup_id, uint8_t *slot,
              const DataKey &data_key) {
  const auto associated = SlotAssociatedData(area, backup_id, slot);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  return ctx &&
         EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr,
                            wrap_key.data(),
                            wrap_key.data() + kDataKeySize) == 1 &&
         EVP_EncryptUpdate(ctx.get(), nullptr, &written, associated.data(),
                           static_cast<int>(associated.size())) == 1 &&
         EVP_EncryptUpdate(ctx.get(), slot + kSealedKeyOffset, &written,
                           data_key.data(),
                           static_cast<int>(kDataKeySize)) == 1 &&
         EVP_EncryptFinal_ex(ctx.get(), slot + kSealedKeyOffset + kDataKeySize,
                             &written) == 1 &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG,
                             static_cast<int>(kAeadTagSize),
                             slot + kSealedKeyOffset + kDataKeySize) == 1;
}

bool OpenSlot(const WrapKey &wrap_key, const uint8_t *area,
              const BackupId &backup_id, const uint8_t *slot,
              DataKey *data_key) {
  const auto associated = SlotAssociatedData(area, backup_id, slot);
  AeadTag tag;
  std::memcpy(tag.data(), slot + kSealedKeyOffset + kDataKeySize, tag.size());
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int written = 0;
  const bool opened =
      ctx &&
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, wrap_key.data(),
                         wrap_key.data() + kDataKeySize) == 1 &&
      EVP_DecryptUpdate(ctx.get(), nullptr, &written, associated.data(),
                        static_cast<int>(associated.size())) == 1 &&
      EVP_DecryptUpdate(ctx.get(), data_key->data(), &written,
                        slot + kSealedKeyOffset,
                        static_cast<int>(kDataKeySize)) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG,
                          static_cast<int>(tag.size()), tag.data()) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), data_key->data() + kDataKeySize,
                          &written) == 1;
  if (!opened) data_key->Wipe();
  return opened;
}

// The X25519 shared secret of `own` and the peer's raw public key.
bool SharedSecret(EVP_PKEY *own, const uint8_t *peer_public,
                  SecretBytes<kX25519KeySize> *secret) {
  Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public,
                                        kX25519KeySize));
  PkeyCtx ctx(EVP_PKEY_CTX_new(own, nullptr));
  size_t length = secret->size();
  // libcrypto refuses an all-zero secret (a peer key of small order).
  return peer && ctx && EVP_PKEY_derive_init(ctx.get()) == 1 &&
         EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) == 1 &&
         EVP_PKEY_derive(ctx.get(), secret->data(), &length) == 1 &&
         length == secret->size();
}

// The slot's sealing key and nonce, from the shared secret (see the header).
bool SlotWrapKey(const SecretBytes<kX25519KeySize> &shared,
                 const BackupId &backup_id, const X25519PublicKey &recipient,
                 const uint8_t *ephemeral_public, WrapKey *wrap_key) {
  std::array<uint8_t,
             sizeof kSlotInfoLabel - 1 + sizeof(BackupId) + 2 * kX25519KeySize>
      info;
  uint8_t *at = info.data();
  std::memcpy(at, kSlotInfoLabel, sizeof kSlotInfoLabel - 1);
  at += sizeof kSlotInfoLabel - 1;
  std::memcpy(at, backup_id.data(), backup_id.size());
  at += backup_id.size();
  std::memcpy(at, recipient.data(), recipient.size());
  std::memcpy(at + recipient.size(), ephemeral_public, kX25519KeySize);
  PkeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
  size_t length = wrap_key->size();
  return ctx && EVP_PKEY_derive_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_CTX_set1_hkdf_salt(
             ctx.get(), reinterpret_cast<const unsigned char *>(kSlotSalt),
             static_cast<int>(sizeof kSlotSalt - 1)) == 1 &&
         EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), shared.data(),
                                    static_cast<int>(shared.size())) == 1 &&
         EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), info.data(),
                                     static_cast<int>(info.size())) == 1 &&
         EVP_PKEY_derive(ctx.get(), wrap_key->data(), &length) == 1 &&
         length == wrap_key->size();
}

// Fills one recipient slot: a fresh ephemeral key, its shared secret with
// the recipient, and the data key sealed under what HKDF makes of it.
bool WrapForOne(const DataKey &data_key, const BackupId &backup_id,
                const X25519PublicKey &recipient, uint8_t *area,
                uint8_t *slot) {
  PkeyCtx keygen(EVP_PKEY_CTX_new_id(EVP_PKEY_X25519, nullptr));
  EVP_PKEY *made = nullptr;
  if (!keygen || EVP_PKEY_keygen_init(keygen.get()) != 1 ||
      EVP_PKEY_keygen(keygen.get(), &made) != 1) {
    return false;
  }
  Pkey ephemeral(made);
  size_t length = kX25519KeySize;
  const KeyId id = KeyIdOf(recipient);
  std::memcpy(slot, id.data(), id.size());
  SecretBytes<kX25519KeySize> shared;
  WrapKey wrap_key;
  return EVP_PKEY_get_raw_public_key(ephemeral.get(), slot + 8, &length) == 1 &&
         length == kX25519KeySize &&
         SharedSecret(ephemeral.get(), recipient.data(), &shared) &&
         SlotWrapKey(shared, backup_id, recipient, slot + 8, &wrap_key) &&
         SealSlot(wrap_key, area, backup_id, slot, data_key);
}

bool PassphraseWrapKey(const SecretBuffer &passphrase, const uint8_t *salt,
                       const ScryptCost &cost, WrapKey *wrap_key) {
  const uint64_t n = uint64_t{1} << cost.log2_n;
  // scrypt's own use: 128 r N for its table, 128 r p for its blocks.
  const uint64_t memory = 128ull * cost.r * (n + cost.p) + (1u << 20);
  return EVP_PBE_scrypt(reinterpret_cast<const char *>(passphrase.data()),
                        passphrase.size(), salt, kSaltSize, n, cost.r, cost.p,
                        memory, wrap_key->data(), wrap_key->size()) == 1;
}

bool Damaged(std::string *why, const std::string &text) {
  *why = text;
  return false;
}

}  // namespace

bool ScryptCostAcceptable(const ScryptCost &cost) {
  return cost.log2_n >= 10 && cost.log2_n <= 20 && cost.r >= 1 &&
         cost.r <= 32 && cost.p >= 1 && cost.p <= 16 &&
         128ull * cost.r * (uint64_t{1} << cost.log2_n) <= (1ull << 30);
}

KeyId KeyIdOf(const X25519PublicKey &public_key) {
  const Sha256Digest digest = Sha256Of(public_key.data(), public_key.size());
  KeyId id;
  std::memcpy(id.data(), digest.data(), id.size());
  return id;
}

std::string KeyIdHex(const KeyId &id) { return HexOf(id.data(), id.size()); }

bool WrapForRecipients(const DataKey &data_key, const BackupId &backup_id,
                       const std::vector<X25519PublicKey> &recipients,
                       uint8_t *area, std::string *error) {
  if (recipients.empty() || recipients.size() > kMaxRecipients) {
    *error = "a backup is encrypted to 1 to 16 recipients, not " +
             std::to_string(recipients.size());
    return false;
  }
  for (size_t i = 0; i < recipients.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (recipients[i] == recipients[j]) {
        *error = "recipient key " + KeyIdHex(KeyIdOf(recipients[i])) +
                 " is given twice";
        return false;
      }
    }
  }
  PutPrefix(KeyWrap::kRecipients, static_cast<uint32_t>(recipients.size()),
            area);
  for (uint32_t i = 0; i < recipients.size(); ++i) {
    if (!WrapForOne(data_key, backup_id, recipients[i], area,
                    SlotAt(area, i))) {
      std::memset(area, 0, kKeyAreaSize);
      *error = "libcrypto failed to wrap the data key for recipient " +
               KeyIdHex(KeyIdOf(recipients[i]));
      return false;
    }
  }
  return true;
}

bool WrapWithPassphrase(const DataKey &data_key, const BackupId &backup_id,
                        const SecretBuffer &passphrase, const ScryptCost &cost,
                        uint8_t *area, std::string *error) {
  if (!ScryptCostAcceptable(cost)) {
    *error = "scrypt cost out of range";
    return false;
  }
  PutPrefix(KeyWrap::kPassphrase, 1, area);
  uint8_t *slot = SlotAt(area, 0);
  Put32(slot, cost.log2_n);
  Put32(slot + 4, cost.r);
  Put32(slot + 8, cost.p);
  WrapKey wrap_key;
  if (RAND_bytes(slot + 16, static_cast<int>(kSaltSize)) != 1 ||
      !PassphraseWrapKey(passphrase, slot + 16, cost, &wrap_key) ||
      !SealSlot(wrap_key, area, backup_id, slot, data_key)) {
    std::memset(area, 0, kKeyAreaSize);
    *error = "libcrypto failed to wrap the data key under the passphrase";
    return false;
  }
  return true;
}

bool KeyAreaWrap(const uint8_t *area, KeyWrap *wrap, std::string *why) {
  if (std::memcmp(area, kKeyAreaMagic, sizeof kKeyAreaMagic) != 0) {
    return Damaged(why, "the header carries no key area");
  }
  const uint32_t method = Get32(area + 8);
  const uint32_t slots = Get32(area + 12);
  if (method == static_cast<uint32_t>(KeyWrap::kRecipients) && slots >= 1 &&
      slots <= kMaxRecipients) {
    *wrap = KeyWrap::kRecipients;
    return true;
  }
  if (method == static_cast<uint32_t>(KeyWrap::kPassphrase) && slots == 1) {
    *wrap = KeyWrap::kPassphrase;
    return true;
  }
  return Damaged(why, "the key area is damaged (wrapping " +
                          std::to_string(method) + " with " +
                          std::to_string(slots) + " slots)");
}

std::vector<KeyId> KeyAreaRecipients(const uint8_t *area) {
  std::vector<KeyId> ids;
  KeyWrap wrap;
  std::string why;
  if (!KeyAreaWrap(area, &wrap, &why) || wrap != KeyWrap::kRecipients) {
    return ids;
  }
  for (uint32_t i = 0; i < Get32(area + 12); ++i) {
    KeyId id;
    std::memcpy(id.data(), SlotAt(area, i), id.size());
    ids.push_back(id);
  }
  return ids;
}

bool UnwrapWithKey(const uint8_t *area, const BackupId &backup_id,
                   const PrivateKey &key, DataKey *data_key, std::string *why) {
  data_key->Wipe();
  KeyWrap wrap;
  if (!KeyAreaWrap(area, &wrap, why)) return false;
  if (wrap != KeyWrap::kRecipients) {
    return Damaged(why,
                   "the backup is encrypted with a passphrase, not to "
                   "a key");
  }
  const KeyId own_id = KeyIdOf(key.public_key);
  Pkey own(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr,
                                        key.secret.data(), key.secret.size()));
  if (!own) return Damaged(why, "libcrypto cannot use the private key");
  const std::vector<KeyId> ids = KeyAreaRecipients(area);
  std::string named;
  for (uint32_t i = 0; i < ids.size(); ++i) {
    named += (i == 0 ? "" : ", ") + KeyIdHex(ids[i]);
    if (ids[i] != own_id) continue;
    const uint8_t *slot = SlotAt(area, i);
    SecretBytes<kX25519KeySize> shared;
    WrapKey wrap_key;
    if (SharedSecret(own.get(), slot + 8, &shared) &&
        SlotWrapKey(shared, backup_id, key.public_key, slot + 8, &wrap_key) &&
        OpenSlot(wrap_key, area, backup_id, slot, data_key)) {
      return true;
    }
    return Damaged(why, "key slot " + std::to_string(i) + " (key id " +
                            KeyIdHex(own_id) +
                            ") does not open with this key: the key area "
                            "is damaged");
  }
  return Damaged(why, "the backup is not encrypted to this key (key id " +
                          KeyIdHex(own_id) +
                          "); its recipients' key ids: " + named);
}

bool UnwrapWithPassphrase(const uint8_t *area, const BackupId &backup_id,
                          const SecretBuffer &passphrase, DataKey *data_key,
                          std::string *why) {
  data_key->Wipe();
  KeyWrap wrap;
  if (!KeyAreaWrap(area, &wrap, why)) return false;
  if (wrap != KeyWrap::kPassphrase) {
    return Damaged(why,
                   "the backup is encrypted to keys, not with a "
                   "passphrase");
  }
  const uint8_t *slot = SlotAt(area, 0);
  ScryptCost cost;
  cost.log2_n = Get32(slot);
  cost.r = Get32(slot + 4);
  cost.p = Get32(slot + 8);
  if (!ScryptCostAcceptable(cost)) {
    return Damaged(why, "the key area is damaged (scrypt cost log2 N " +
                            std::to_string(cost.log2_n) + ", r " +
                            std::to_string(cost.r) + ", p " +
                            std::to_string(cost.p) + ")");
  }
  WrapKey wrap_key;
  if (!PassphraseWrapKey(passphrase, slot + 16, cost, &wrap_key)) {
    return Damaged(why,
                   "libcrypto failed to derive the key from the "
                   "passphrase");
  }
  if (!OpenSlot(wrap_key, area, backup_id, slot, data_key)) {
    return Damaged(why,
                   "the passphrase is wrong (or the key area is "
                   "damaged)");
  }
  return true;
}

}  // namespace cli
}  // namespace kor
