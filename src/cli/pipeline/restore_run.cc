#include "cli/pipeline/restore_run.h"

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "cli/format/printable_text.h"
#include "cli/format/volume_locator.h"
#include "cli/options/device_list.h"
#include "cli/pipeline/restore_run_parts.h"
#include "cli/pipeline/stripe_calls.h"

namespace kor {
namespace cli {

bool RestoreRun::ReadHeaders() {
  uint32_t count = stripes_given_;
  if (count == 0) {
    StartStripe(0);
  } else {
    for (uint32_t s = 0; s < count; ++s) StartStripe(s);
  }
  for (uint32_t s = 0; s < count || (count == 0 && s == 0); ++s) {
    std::unique_ptr<Block> block = Next(s);
    if (block == nullptr) return false;  // the stripe said why
    if (!checker_.AcceptHeader(s, block->bytes.data(), block->bytes.size(),
                               &reason_)) {
      return false;
    }
    if (count == 0) {
      // Stripe 0 told how many stripes the backup has.
      count = checker_.stripe_count();
      std::vector<std::string> devices;
      std::string error;
      if (!ExpandDevices(templates_, count, &devices, &error)) {
        reason_ =
            "the backup has " + std::to_string(count) + " stripes: " + error;
        return false;
      }
      session_->SetDevices(devices, checker_.header().dbname);
      session_->StartProgress(count);
      for (uint32_t other = 1; other < count; ++other) StartStripe(other);
    }
  }
  if (!OpenEncryption()) return false;
  const StreamHeader &h = checker_.header();
  session_->Note(std::string(output_->verify_only ? "verifying" : "restoring") +
                 " backup " + BackupIdHex(h.backup_id) + " of '" +
                 PrintableText(h.dbname) + "' from " +
                 Counted(h.stripe_count, "stripe") + " (requests of " +
                 Counted(h.request_size, "byte") + ")");
  const size_t blocks = BlocksPerStripe(h.stripe_count, h.request_size);
  to_hash_.SetBatch(HandOverBatch(blocks * h.stripe_count));
  to_write_.SetBatch(HandOverBatch(blocks * h.stripe_count));
  return true;
}

bool RestoreRun::OpenEncryption() {
  const StreamHeader &h = checker_.header();
  if (h.encryption == Encryption::kNone) {
    if (keys_.method != Encryption::kNone) {
      session_->Note("the backup is not encrypted; " + keys_.file +
                     " is not needed");
    }
    SetKeyState(KeyState::kNoKey);
    return true;
  }
  const char *how = h.encryption == Encryption::kPassphrase
                        ? "with a passphrase: give --passphrase-file FILE"
                        : "to X25519 keys: give --key FILE";
  if (keys_.method == Encryption::kNone) {
    if (!output_->verify_only) {
      reason_ = std::string("the backup is encrypted ") + how;
      return false;
    }
    keyless_ = true;
    SetKeyState(KeyState::kNoKey);
    return true;
  }
  if (!OpenKeyArea(keys_, h, &data_key_, &reason_)) return false;
  SetKeyState(KeyState::kOpened);
  return true;
}

bool RestoreRun::OpenTrailers() {
  if (checker_.header().encryption == Encryption::kNone || keyless_) {
    return true;
  }
  const StreamHeader &h = checker_.header();
  PayloadCipher cipher(data_key_);
  uint64_t input_bytes = 0;
  Sha256Digest content{};
  if (!OpenSealedBlock(&cipher, h.backup_id, h.stripe_count,
                       checker_.trailer().total_frames,
                       checker_.trailer().sealed_block, &input_bytes, &content,
                       &reason_)) {
    return false;
  }
  checker_.SetOpenedTrailer(input_bytes, content);
  return true;
}

std::string RestoreRun::VolumeNote(uint32_t stripe, uint64_t offset) {
  const std::string volume =
      DiskVolumeAt(DevnameOf(session_->params()->archdev[stripe]), offset);
  return volume.empty() ? std::string() : " (volume file " + volume + ")";
}

// Adds to the reason of a frame refused the volume file it came from, and
// what to do about it.
void RestoreRun::NameVolumeOf(uint32_t stripe, const Block &block) {
  const std::string note = VolumeNote(stripe, block.stripe_offset);
  if (note.empty()) return;
  reason_ += note;
  if (reason_.find("another backup") != std::string::npos) {
    reason_ += ": put this backup's own volume file in its place";
  }
}

// With compression: the inflater's output blocks (version 3: each one
// chunk of the content seal).
void RestoreRun::PrepareOutputBlocks(const StreamHeader &header, bool sealed) {
  // Past the inflater only its few output buffers circulate: a larger
  // batch than they allow would make every hand-over wait it out.
  to_hash_.SetBatch(HandOverBatch(kOutputBlocks));
  to_write_.SetBatch(HandOverBatch(kOutputBlocks));
  for (size_t b = 0; b < kOutputBlocks; ++b) {
    auto block = std::make_unique<Block>(
        sealed ? ContentChunkSize(header.request_size) : kOutputSize);
    block->pool = BlockPool::kCodec;
    free_outputs_.Push(std::move(block));
  }
}

// Takes the data frames in stream order from their stripes, checks each
// one's place and passes it on to `accepted`.  False when the stream
// breaks off (reason_ says why) or the run is interrupted.
bool RestoreRun::PassFrames(BlockQueue *accepted, bool sealed) {
  const uint32_t version = checker_.header().version;
  while (checker_.ExpectingFrames()) {
    if (interrupts_.Interrupted()) return false;
    const uint32_t s = checker_.NextStripe();
    std::unique_ptr<Block> block = Next(s);
    // Aborted: the stripe's reason is recorded.  Closed without failing:
    // it stopped because of an interrupt.
    if (block == nullptr) return false;
    const uint8_t *payload = nullptr;
    uint32_t length = 0;
    if (!checker_.AcceptFrame(s, block->bytes.data(), block->bytes.size(),
                              &payload, &length, &reason_)) {
      NameVolumeOf(s, *block);
      return false;
    }
    block->stripe = s;
    block->payload_offset = FrameHeaderSizeOf(version);
    block->payload_length = length;
    if (sealed && !compressed_) {
      // Each frame of a plain stream is a chunk of the content seal (an
      // empty input has one empty frame and no chunk).
      if (length > 0 && !keyless_) content_chain_.Add(block->digest);
      hashed_bytes_ += length;
    }
    if (!accepted->Push(std::move(block))) return false;
  }
  return true;
}

// Every stripe's trailer, after its last frame.
bool RestoreRun::ReadTrailers() {
  for (uint32_t s = 0; s < checker_.stripe_count(); ++s) {
    std::unique_ptr<Block> block = Next(s);
    if (block == nullptr) return false;
    if (!checker_.AcceptTrailer(s, block->bytes.data(), block->bytes.size(),
                                &reason_)) {
      NameVolumeOf(s, *block);
      return false;
    }
  }
  return true;
}

// Once every stage has ended well: the stream's length and seals against
// what the trailers recorded.
bool RestoreRun::FinishStream(bool sealed) {
  if (compressed_ && !inflated_all_) return false;  // the stage said why
  if (sealed) {
    if (!compressed_) hashed_all_ = true;
    digest_ = content_chain_.FinishContent(
        hashed_bytes_, ContentChunkSize(checker_.header().request_size));
  }
  if (!hashed_all_ || !wrote_all_) return false;
  if (keyless_) return checker_.FinishStored(&reason_);
  return checker_.Finish(hashed_bytes_, digest_, &reason_);
}

bool RestoreRun::ReadStream() {
  const StreamHeader &header = checker_.header();
  // Without the key an encrypted stream's payloads stay ciphertext: only
  // what is stored can be checked, not inflated or sealed.
  compressed_ = header.compression == Compression::kZstd && !keyless_;
  // Version 3 hashes every frame (and with compression every chunk of the
  // output) by itself, on as many threads as there are cores: there is no
  // sequential hash of the whole stream.
  const bool sealed = header.version >= 3;
  if (compressed_) PrepareOutputBlocks(header, sealed);
  std::thread inflater;
  if (compressed_) inflater = std::thread([this] { InflateMain(); });
  std::thread hasher;
  if (!sealed) {
    hasher = std::thread([this] { HashMain(); });
  } else if (compressed_) {
    hasher = std::thread([this] { HashChunksMain(); });
  }
  std::thread writer([this] { WriteMain(); });
  BlockQueue &accepted =
      compressed_ ? to_inflate_ : (sealed ? to_write_ : to_hash_);
  const bool ok =
      PassFrames(&accepted, sealed) && ReadTrailers() && OpenTrailers();
  if (ok) {
    accepted.Close();
  } else {
    AbortAll();
  }
  if (inflater.joinable()) inflater.join();
  if (hasher.joinable()) hasher.join();
  writer.join();
  if (!ok || interrupts_.Interrupted()) return false;
  return FinishStream(sealed);
}

void RestoreRun::JoinStripes() {
  for (size_t i = 0;; ++i) {
    RestoreStripe *s = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (i >= stripes_.size()) break;
      s = stripes_[i].get();
    }
    s->thread.join();
  }
}

// Names each stripe's failure.  True when no stripe failed.
bool RestoreRun::ReportStripes() {
  return ReportFailedStripes(session_, stripes_);
}

void RestoreRun::ReportSuccess() {
  if (keyless_) {
    session_->Note(
        "verified the " + Counted(written_.load(), "stored byte") +
        ": every frame's SHA-256 and the stored seal check out; "
        "the backup is encrypted, and proving it authentic and decryptable "
        "needs its key (--key or --passphrase-file)");
    return;
  }
  const std::string bytes = Counted(written_.load(), "byte");
  session_->Note(output_->verify_only
                     ? "verified " + bytes +
                           ": every frame, the length and the SHA-256 check out"
                     : "restored " + bytes + "; length and SHA-256 verified");
  if (checker_.header().version >= 3) {
    session_->Note("content seal " + DigestHex(digest_));
  }
}

void RestoreRun::ReportFailure() {
  if (!reason_.empty()) session_->Error(reason_);
  if (!stage_error_.empty()) session_->Error(stage_error_);
  if (interrupts_.Interrupted()) {
    session_->Error("interrupted after " + Counted(written_.load(), "byte") +
                    " of the stream");
  }
  if (output_->verify_only) {
    session_->Error("the backup would not restore");
  } else if (output_->to_stdout || output_->direct) {
    session_->Error(
        "failed: the " + Counted(written_.load(), "byte") + " written to " +
        (output_->to_stdout ? std::string("standard output") : output_->path) +
        " are incomplete or unverified; discard them");
  } else if (!output_->renamed) {  // else the reason says what became of it
    session_->Error("failed: " + output_->path +
                    " was not written (the partial output was removed)");
  }
}

bool RestoreRun::Execute() {
  if (stripes_given_ != 0) session_->StartProgress(stripes_given_);
  bool ok = ReadHeaders() && ReadStream();
  if (!ok) AbortAll();
  JoinStripes();
  session_->StopProgress();

  ok = ReportStripes() && ok;
  std::string error;
  if (ok && !output_->Commit(&error)) {
    reason_ = error;
    ok = false;
  }
  if (ok) {
    ReportSuccess();
    return true;
  }
  output_->Discard();
  ReportFailure();
  return false;
}

bool RunRestore(HostSession *session, Output *output, uint32_t stripes_given,
                const std::vector<std::string> &device_templates,
                const DecryptionKeys &keys) {
  RestoreRun run(session, output, stripes_given, device_templates, keys);
  return run.Execute();
}

}  // namespace cli
}  // namespace kor
