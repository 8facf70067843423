// Encryption of a version-3 stream: what the header's key area, an
// encrypted frame and the trailers' sealed block hold, on top of the
// cipher (cipher.h) and the key area (key_area.h).
//
// An encrypted frame keeps its 128-byte header in the clear (the checks of
// order and completeness need no key); its payload, as stored, is the
// AES-256-GCM ciphertext of the (compressed) stream's bytes, its flags have
// bit 1 set, and the tag sits at bytes 40..55.  The frame digest covers the
// ciphertext, so that a storage host without the key can prove the stored
// bytes intact.  In an encrypted stream every frame is encrypted.
//
// The trailers of an encrypted stream leave the input length and the
// content seal zero (a digest of the plaintext in the clear would let
// anyone confirm a guess of the contents) and carry them in the sealed
// block, the same on every stripe:
//     0  8  input length in bytes
//     8 32  the content seal
//    40 88  zero
// sealed with the data key and the trailer binding (cipher.h) over the
// stream's frame count.
#ifndef KORBR_CLI_STREAM_CRYPTO_H_
#define KORBR_CLI_STREAM_CRYPTO_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/format/cipher.h"
#include "cli/format/key_area.h"
#include "cli/format/secret_bytes.h"
#include "cli/format/sha256.h"
#include "cli/format/stream_format.h"
#include "cli/options/encryption_options.h"

namespace kor {
namespace cli {

// What a backup is encrypted with: recipients' public keys, or a
// passphrase.
struct EncryptionKeys {
  Encryption method = Encryption::kNone;
  std::vector<X25519PublicKey> recipients;
  SecretBuffer passphrase;
  ScryptCost cost;
};

// What a restore opens a backup with: a private key or a passphrase, and
// the file it came from (named in errors).
struct DecryptionKeys {
  Encryption method = Encryption::kNone;  // kNone: no key was given
  PrivateKey key;
  SecretBuffer passphrase;
  std::string file;
};

// Read the key files the options name (key_files.h): the keys of an
// encrypted backup, or of a restore or verify.  Nothing when no file is
// named.  False with *error set, naming the file.
bool ReadEncryptionKeys(const EncryptionFiles &files, EncryptionKeys *keys,
                        std::string *error);
bool ReadDecryptionKeys(const EncryptionFiles &files, DecryptionKeys *keys,
                        std::string *error);

// A new data key for the backup `backup_id`, wrapped into *area for the
// keys.  False with *error set.
bool MakeKeyArea(const EncryptionKeys &keys, const BackupId &backup_id,
                 DataKey *data_key, KeyArea *area, std::string *error);

// The data key of the backup whose header is `header`.  False with *why
// set (naming the key file) when the keys do not open it.
bool OpenKeyArea(const DecryptionKeys &keys, const StreamHeader &header,
                 DataKey *data_key, std::string *why);

// Encrypts in place the payload of the version-3 frame at `frame`, whose
// header fields are in place, and stores its tag.  False when libcrypto
// fails.
bool SealFramePayload(PayloadCipher *cipher, const BackupId &backup_id,
                      uint32_t stripe_count, uint8_t *frame);

// Whether the encrypted flag of the frame at `frame` agrees with the
// stream's encryption; false with *why set.  A plain frame in an encrypted
// stream would hand on bytes no key vouches for.
bool FrameEncryptionAgrees(const uint8_t *frame, bool stream_encrypted,
                           std::string *why);

// Decrypts in place the payload of the frame at `frame` (`size` bytes, its
// digest checked), bound to the backup and stripe count of the stripe's
// header.  False with *why set, and the payload zeroed, when it does not
// authenticate.
bool OpenFramePayload(PayloadCipher *cipher, const BackupId &backup_id,
                      uint32_t stripe_count, uint8_t *frame, size_t size,
                      std::string *why);

// The trailers' sealed block of an encrypted stream of `total_frames`
// frames, and its opening.  OpenSealedBlock is false with *why set when
// the block does not authenticate.
bool SealTrailerBlock(PayloadCipher *cipher, const BackupId &backup_id,
                      uint32_t stripe_count, uint64_t total_frames,
                      uint64_t input_bytes, const Sha256Digest &content_seal,
                      SealedBlock *block);
bool OpenSealedBlock(PayloadCipher *cipher, const BackupId &backup_id,
                     uint32_t stripe_count, uint64_t total_frames,
                     const SealedBlock &block, uint64_t *input_bytes,
                     Sha256Digest *content_seal, std::string *why);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_STREAM_CRYPTO_H_
