#include "cli/pipeline/backup_run.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "cli/format/printable_text.h"
#include "cli/format/volume_locator.h"
#include "cli/options/device_list.h"
#include "cli/pipeline/backup_run_parts.h"
#include "cli/pipeline/stripe_calls.h"

// The backup time goes into the stream header as 64 bits; a 32-bit
// time_t would wrap it in 2038.
static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64");

namespace kor {
namespace cli {

// Volume files of an earlier, longer backup stay behind the new one's last
// volume (nothing deletes them); they are not part of this backup.
void BackupRun::WarnOfLeftovers() {
  for (uint32_t s = 0; s < encoder_.stripe_count(); ++s) {
    const std::vector<std::string> left =
        LeftoverVolumes(DevnameOf(session_->params()->archdev[s]));
    if (left.empty()) continue;
    session_->Warn("stripe " + std::to_string(s) + ": " +
                   std::to_string(left.size()) + " volume file" +
                   (left.size() == 1 ? "" : "s") + " of another backup remain" +
                   (left.size() == 1 ? "s" : "") +
                   " after this backup's last "
                   "volume (" +
                   left.front() + (left.size() > 1 ? " ..." : "") +
                   "); they are not part of it: remove them");
  }
}

// An encrypted backup: a new data key, wrapped into every header's key
// area.  False (after saying why) when that fails.
bool BackupRun::SetUpEncryption() {
  if (encryption_ == nullptr) return true;
  KeyArea area{};
  std::string error;
  if (!MakeKeyArea(*encryption_, encoder_.backup_id(), &data_key_, &area,
                   &error)) {
    session_->Error(error);
    return false;
  }
  encoder_.SetEncryption(encryption_->method, area);
  return true;
}

void BackupRun::StartStripes() {
  for (auto &s : stripes_) {
    BackupStripe *stripe = s.get();
    stripe->thread = std::thread([this, stripe] { StripeMain(stripe); });
  }
}

// Waits for every stripe's open and decides for all of them whether the
// backup goes ahead.
bool BackupRun::AwaitEveryOpen() {
  std::unique_lock<std::mutex> lock(mutex_);
  opened_.wait(lock, [&] { return open_results_ == encoder_.stripe_count(); });
  go_ = !failed_ && !interrupts_.Interrupted();
  decided_ = true;
  opened_.notify_all();
  return go_;
}

// Deals the whole input with the hasher (and the compressor) running
// beside; true when all of it went through them.
bool BackupRun::StreamInput() {
  // Version 3 without compression needs no stage between the input and
  // the stripes.
  std::thread hasher;
  if (encoder_.version() < 3) {
    hasher = std::thread([this] { HashMain(); });
  } else if (zstd_level_ > 0) {
    hasher = std::thread([this] { HashChunksMain(); });
  }
  std::thread compressor;
  if (zstd_level_ > 0) compressor = std::thread([this] { CompressMain(); });
  bool dealt = DealInput();
  if (dealt) {
    to_hash_.Close();
  } else {
    AbortAll();
  }
  if (hasher.joinable()) hasher.join();
  if (compressor.joinable()) compressor.join();
  if (encoder_.version() >= 3 && zstd_level_ == 0) hashed_all_ = dealt;
  if (zstd_level_ > 0 && !compressed_all_) return false;
  return dealt;
}

// The trailers go out only for a whole input on healthy stripes.
bool BackupRun::SendTrailers() {
  bool healthy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    healthy = !failed_;
  }
  if (!hashed_all_ || !healthy || interrupts_.Interrupted()) return false;
  Sha256Digest stored{};
  if (encoder_.version() >= 3 && !AwaitSeals(&digest_, &stored)) return false;
  if (encoder_.encrypted()) {
    PayloadCipher cipher(data_key_);
    SealedBlock sealed{};
    if (!SealTrailerBlock(&cipher, encoder_.backup_id(),
                          encoder_.stripe_count(), encoder_.frames(),
                          input_bytes_.load(), digest_, &sealed)) {
      Fail("libcrypto failed to encrypt the trailers' sealed block");
      return false;
    }
    encoder_.SetSealedBlock(sealed);
  }
  for (uint32_t s = 0; s < encoder_.stripe_count(); ++s) {
    std::unique_ptr<Block> block = TakeFree(s);
    if (block == nullptr) return false;
    encoder_.EncodeTrailerFor(s, input_bytes_.load(), digest_, stored,
                              block->bytes.data());
    block->trailer = true;
    const bool pushed = stripes_[s]->full.Push(std::move(block));
    // Nothing follows the trailer: the writer need not wait for more.
    stripes_[s]->full.Close();
    if (!pushed) return false;
  }
  return true;
}

// Names each stripe's failure.  True when every stripe wrote its trailer.
bool BackupRun::ReportStripes() {
  bool whole = ReportFailedStripes(session_, stripes_);
  for (auto &s : stripes_) {
    if (!s->wrote_trailer) whole = false;
  }
  return whole;
}

void BackupRun::ReportSuccess() {
  const uint32_t count = encoder_.stripe_count();
  char text[320];
  std::string line = "backed up " + Counted(input_bytes_.load(), "byte") +
                     " in " + Counted(encoder_.frames(), "frame") + " on " +
                     Counted(count, "stripe");
  if (zstd_level_ > 0) {
    std::snprintf(text, sizeof text, " (compressed to %s, %.2f:1)",
                  Counted(encoder_.total_bytes(), "byte").c_str(),
                  encoder_.total_bytes() > 0
                      ? static_cast<double>(input_bytes_.load()) /
                            static_cast<double>(encoder_.total_bytes())
                      : 0.0);
    line += text;
  }
  session_->Note(line);
  if (encoder_.version() >= 3) {
    session_->Note("content seal " + DigestHex(digest_) +
                   (encoder_.encrypted() ? " (stored encrypted)" : ""));
  }
  if (encryption_ != nullptr) {
    const size_t n = encryption_->recipients.size();
    session_->Note(encryption_->method == Encryption::kPassphrase
                       ? std::string("encrypted with a passphrase")
                       : "encrypted to " + std::to_string(n) + " key" +
                             (n == 1 ? "" : "s"));
  }
  WarnOfLeftovers();
}

void BackupRun::ReportIncomplete(bool all_open) {
  if (!all_open) {
    session_->Error("no data was backed up: not every stripe could be opened");
  } else if (interrupts_.Interrupted()) {
    session_->Error("interrupted after " +
                    Counted(input_bytes_.load(), "byte") +
                    " of input: the backup is incomplete; its volumes "
                    "carry no stream trailer and cannot be restored");
  } else {
    session_->Error("the backup is incomplete (" +
                    Counted(input_bytes_.load(), "byte") +
                    " of input read); its volumes cannot be "
                    "restored");
  }
}

bool BackupRun::Execute() {
  if (!SetUpEncryption()) return false;
  session_->StartProgress(encoder_.stripe_count());
  StartStripes();
  const bool all_open = AwaitEveryOpen();
  bool dealt = false;
  if (all_open) {
    dealt = StreamInput() && SendTrailers();
    if (!dealt) AbortAll();
  }
  for (auto &s : stripes_) s->thread.join();
  session_->StopProgress();

  bool complete = ReportStripes() && all_open && dealt;
  if (!input_error_.empty()) session_->Error(input_error_);
  if (!stage_error_.empty()) session_->Error(stage_error_);
  // A backup whose every stripe has its trailer is whole, even when an
  // interrupt arrived while the last trailers were going out.
  if (complete) {
    ReportSuccess();
    return true;
  }
  ReportIncomplete(all_open);
  return false;
}

bool RunBackup(HostSession *session, const BackupPlan &plan) {
  BackupRun run(session, plan);
  return run.Execute();
}

}  // namespace cli
}  // namespace kor
