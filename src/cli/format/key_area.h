// The key area of an encrypted backup: its data key, wrapped for each
// recipient's X25519 public key or under a passphrase, in the stream header
// of every stripe (the same bytes on each), so that any one stripe's header
// lets the holder of a key or the passphrase open the whole backup, and
// nobody else.
//
// Key area (kKeyAreaSize bytes, stream_format.h; numbers little-endian):
//     0  8  "KORBRKEY"
//     8  4  how the data key is wrapped: 1 for recipients, 2 passphrase
//    12  4  key slots that follow: 1..16 recipients, or 1 passphrase
//    16 16  zero
//    32 ..  the key slots, kKeySlotSize bytes each; zeros to the end
//
// Recipient slot (one per --encrypt-to key; HPKE's base mode built from
// libcrypto's primitives):
//     0  8  recipient key id: bytes 0..7 of the SHA-256 of the recipient's
//           raw 32-byte public key, so that a restore finds its slot
//     8 32  an X25519 public key made for this slot alone (ephemeral)
//    40 32  the data key, sealed with AES-256-GCM
//    72 16  its tag
//    88  8  zero
// The sealing key and nonce are the 44 bytes of HKDF-SHA256 with the X25519
// shared secret of the ephemeral and the recipient key as input key
// material, salt "korbr key slot", and info "korbr x25519 slot" followed by
// the backup id, the recipient public key and the ephemeral public key.
//
// Passphrase slot:
//     0  4  scrypt cost: log2 of N
//     4  4  scrypt r
//     8  4  scrypt p
//    12  4  zero
//    16 16  scrypt salt, random for each backup
//    32  8  zero
//    40 32  the data key, sealed with AES-256-GCM
//    72 16  its tag
//    88  8  zero
// The sealing key and nonce are the 44 bytes scrypt derives from the
// passphrase (the bytes of the file's first line) and the salt.
//
// The associated data of every slot's seal is the area's first 32 bytes,
// the backup id and the slot's bytes 0..39, so that a change to any of
// them, or a slot moved into another backup, fails to open.  Every seal has
// a key of its own (a fresh ephemeral key or salt), so its nonce never
// repeats under a key.
#ifndef KORBR_CLI_KEY_AREA_H_
#define KORBR_CLI_KEY_AREA_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/format/cipher.h"
#include "cli/format/secret_bytes.h"
#include "cli/format/stream_format.h"

namespace kor {
namespace cli {

constexpr size_t kKeyAreaPrefixSize = 32;
constexpr size_t kKeySlotSize = 96;
constexpr uint32_t kMaxRecipients = 16;
constexpr size_t kX25519KeySize = 32;
static_assert(kKeyAreaPrefixSize + kMaxRecipients * kKeySlotSize <=
                  kKeyAreaSize,
              "every recipient's slot fits in the key area");

enum class KeyWrap : uint32_t { kRecipients = 1, kPassphrase = 2 };

using X25519PublicKey = std::array<uint8_t, kX25519KeySize>;
using KeyId = std::array<uint8_t, 8>;

// An X25519 private key and the public key that belongs to it.
struct PrivateKey {
  SecretBytes<kX25519KeySize> secret;
  X25519PublicKey public_key{};
};

// scrypt's cost parameters.  The default takes 128 MiB and a fraction of a
// second, once per backup and once per restore.
struct ScryptCost {
  uint32_t log2_n = 17;
  uint32_t r = 8;
  uint32_t p = 1;
};
// What a restore agrees to spend on a key area's recorded cost (a damaged
// or hostile header must not make it allocate without bound): log2 N 10 to
// 20, r 1 to 32, p 1 to 16, and 128 * r * N at most 1 GiB.
bool ScryptCostAcceptable(const ScryptCost &cost);

// The id a recipient slot names its key by.
KeyId KeyIdOf(const X25519PublicKey &public_key);
std::string KeyIdHex(const KeyId &id);

// Fill the kKeyAreaSize bytes at `area` with `data_key` wrapped for each
// of 1..kMaxRecipients distinct `recipients`, or under `passphrase` with
// `cost`.  False with *error set when the recipients are out of range or
// libcrypto fails.
bool WrapForRecipients(const DataKey &data_key, const BackupId &backup_id,
                       const std::vector<X25519PublicKey> &recipients,
                       uint8_t *area, std::string *error);
bool WrapWithPassphrase(const DataKey &data_key, const BackupId &backup_id,
                        const SecretBuffer &passphrase, const ScryptCost &cost,
                        uint8_t *area, std::string *error);

// How the key area at `area` wraps its data key, once its layout checks
// out; false with *why set when it is not a key area.
bool KeyAreaWrap(const uint8_t *area, KeyWrap *wrap, std::string *why);
// The key ids a recipients' key area names, in slot order.
std::vector<KeyId> KeyAreaRecipients(const uint8_t *area);

// Recover the data key of the backup `backup_id` with a private key or a
// passphrase.  False with *why set: the backup is not encrypted to that
// key, the passphrase is wrong, or the area is damaged; *data_key is then
// wiped.
bool UnwrapWithKey(const uint8_t *area, const BackupId &backup_id,
                   const PrivateKey &key, DataKey *data_key, std::string *why);
bool UnwrapWithPassphrase(const uint8_t *area, const BackupId &backup_id,
                          const SecretBuffer &passphrase, DataKey *data_key,
                          std::string *why);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_KEY_AREA_H_
