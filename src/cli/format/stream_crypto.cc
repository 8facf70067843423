// The encrypted parts of a version-3 stream.
#include "cli/format/stream_crypto.h"

#include <openssl/crypto.h>

#include <cstring>

#include "cli/format/key_files.h"
#include "cli/format/stream_bytes.h"
#include "cli/format/stream_seals.h"

namespace kor {
namespace cli {
namespace {

using stream_bytes::Format;
using stream_bytes::Get32;
using stream_bytes::Get64;
using stream_bytes::Put64;

// The binding of the frame at `frame`, as its header names it.
SealBinding BindingOf(const BackupId &backup_id, uint32_t stripe_count,
                      const uint8_t *frame, uint32_t length) {
  return FrameBinding(backup_id, stripe_count, Get64(frame + 24), length,
                      (Get32(frame + 36) & kFrameLastFlag) != 0);
}

}  // namespace

bool ReadEncryptionKeys(const EncryptionFiles &files, EncryptionKeys *keys,
                        std::string *error) {
  if (!files.passphrase.empty()) {
    keys->method = Encryption::kPassphrase;
    return ReadPassphraseFile(files.passphrase, &keys->passphrase, error);
  }
  if (files.recipients.empty()) return true;
  keys->method = Encryption::kRecipients;
  for (const std::string &file : files.recipients) {
    X25519PublicKey key{};
    if (!ReadPublicKeyFile(file, &key, error)) return false;
    keys->recipients.push_back(key);
  }
  return true;
}

bool ReadDecryptionKeys(const EncryptionFiles &files, DecryptionKeys *keys,
                        std::string *error) {
  if (!files.passphrase.empty()) {
    keys->method = Encryption::kPassphrase;
    keys->file = files.passphrase;
    return ReadPassphraseFile(files.passphrase, &keys->passphrase, error);
  }
  if (files.key.empty()) return true;
  keys->method = Encryption::kRecipients;
  keys->file = files.key;
  return ReadPrivateKeyFile(files.key, &keys->key, error);
}

bool MakeKeyArea(const EncryptionKeys &keys, const BackupId &backup_id,
                 DataKey *data_key, KeyArea *area, std::string *error) {
  if (!NewDataKey(data_key)) {
    *error = "libcrypto's random generator failed to make a data key";
    return false;
  }
  return keys.method == Encryption::kPassphrase
             ? WrapWithPassphrase(*data_key, backup_id, keys.passphrase,
                                  keys.cost, area->data(), error)
             : WrapForRecipients(*data_key, backup_id, keys.recipients,
                                 area->data(), error);
}

bool OpenKeyArea(const DecryptionKeys &keys, const StreamHeader &header,
                 DataKey *data_key, std::string *why) {
  KeyWrap wrap;
  std::string reason;
  if (!KeyAreaWrap(header.key_area.data(), &wrap, &reason) ||
      static_cast<uint32_t>(wrap) != static_cast<uint32_t>(header.encryption)) {
    *why = reason.empty() ? "the stream header's key area contradicts its "
                            "encryption method (the header is damaged)"
                          : reason;
    return false;
  }
  const bool opened =
      keys.method == Encryption::kPassphrase
          ? UnwrapWithPassphrase(header.key_area.data(), header.backup_id,
                                 keys.passphrase, data_key, &reason)
          : UnwrapWithKey(header.key_area.data(), header.backup_id, keys.key,
                          data_key, &reason);
  if (!opened) *why = keys.file + ": " + reason;
  return opened;
}

bool SealFramePayload(PayloadCipher *cipher, const BackupId &backup_id,
                      uint32_t stripe_count, uint8_t *frame) {
  uint8_t *payload = frame + kFrameHeaderSizeV3;
  const SealBinding binding =
      BindingOf(backup_id, stripe_count, frame, Get32(frame + 32));
  AeadTag tag;
  if (!cipher->Seal(binding, payload, payload, &tag)) return false;
  std::memcpy(frame + kFrameTagOffset, tag.data(), tag.size());
  return true;
}

bool FrameEncryptionAgrees(const uint8_t *frame, bool stream_encrypted,
                           std::string *why) {
  const bool encrypted = (Get32(frame + 36) & kFrameEncryptedFlag) != 0;
  if (encrypted == stream_encrypted) return true;
  *why = Format(stream_encrypted
                    ? "frame %llu is not encrypted, in an encrypted backup "
                      "(it was put there since)"
                    : "frame %llu is marked encrypted, in a backup that is "
                      "not (it is damaged)",
                Get64(frame + 24));
  return false;
}

bool OpenFramePayload(PayloadCipher *cipher, const BackupId &backup_id,
                      uint32_t stripe_count, uint8_t *frame, size_t size,
                      std::string *why) {
  const uint64_t sequence = Get64(frame + 24);
  if (!FrameEncryptionAgrees(frame, true, why)) return false;
  const uint32_t length = PayloadLengthOf(frame, size);
  AeadTag tag;
  std::memcpy(tag.data(), frame + kFrameTagOffset, tag.size());
  uint8_t *payload = frame + kFrameHeaderSizeV3;
  if (cipher->Open(BindingOf(backup_id, stripe_count, frame, length), payload,
                   payload, tag)) {
    return true;
  }
  *why = Format(
      "frame %llu does not authenticate with the backup's key: it "
      "was altered, moved, or comes from another backup",
      sequence);
  return false;
}

bool SealTrailerBlock(PayloadCipher *cipher, const BackupId &backup_id,
                      uint32_t stripe_count, uint64_t total_frames,
                      uint64_t input_bytes, const Sha256Digest &content_seal,
                      SealedBlock *block) {
  block->fill(0);
  Put64(block->data(), input_bytes);
  std::memcpy(block->data() + 8, content_seal.data(), content_seal.size());
  AeadTag tag;
  if (!cipher->Seal(TrailerBinding(backup_id, stripe_count, total_frames,
                                   kSealedBlockSize),
                    block->data(), block->data(), &tag)) {
    return false;
  }
  std::memcpy(block->data() + kSealedBlockSize, tag.data(), tag.size());
  return true;
}

bool OpenSealedBlock(PayloadCipher *cipher, const BackupId &backup_id,
                     uint32_t stripe_count, uint64_t total_frames,
                     const SealedBlock &block, uint64_t *input_bytes,
                     Sha256Digest *content_seal, std::string *why) {
  AeadTag tag;
  std::memcpy(tag.data(), block.data() + kSealedBlockSize, tag.size());
  std::array<uint8_t, kSealedBlockSize> plain;
  if (!cipher->Open(TrailerBinding(backup_id, stripe_count, total_frames,
                                   kSealedBlockSize),
                    block.data(), plain.data(), tag)) {
    *why =
        "the trailers' sealed block does not authenticate with the "
        "backup's key (the trailers were altered or belong to another "
        "backup)";
    return false;
  }
  *input_bytes = Get64(plain.data());
  std::memcpy(content_seal->data(), plain.data() + 8, content_seal->size());
  return true;
}

}  // namespace cli
}  // namespace kor
