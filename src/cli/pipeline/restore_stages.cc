// The threads of a restore: the stripes' readers, the inflater, the
// hasher and the writer of the output.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

#include "cli/format/volume_locator.h"
#include "cli/format/zstd_codec.h"
#include "cli/options/device_list.h"
#include "cli/pipeline/hash_stage.h"
#include "cli/pipeline/stripe_calls.h"
#include "cli/pipeline/piece_writer.h"
#include "cli/pipeline/restore_run_parts.h"
#include "korbr/korbr.h"

namespace kor {
namespace cli {

void RestoreRun::AbortAll() {
  SetKeyState(KeyState::kStopped);
  to_inflate_.Abort();
  free_outputs_.Abort();
  to_hash_.Abort();
  to_write_.Abort();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &s : stripes_) {
    s->full.Abort();
    s->free.Abort();
  }
}

void RestoreRun::StageFailed(const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stage_error_.empty()) stage_error_ = reason;
  }
  AbortAll();
}

void RestoreRun::FailStripe(RestoreStripe *stripe, const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stripe->error = reason;
  }
  AbortAll();
}

void RestoreRun::SetKeyState(KeyState state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (key_state_ != KeyState::kPending) return;
    key_state_ = state;
  }
  key_changed_.notify_all();
}

bool RestoreRun::PrepareDecryption(RestoreStripe *stripe,
                                   const StreamHeader &header) {
  stripe->encrypted = header.encryption != Encryption::kNone;
  stripe->compressed = header.compression != Compression::kNone;
  stripe->backup_id = header.backup_id;
  stripe->stripe_count = header.stripe_count;
  if (!stripe->encrypted) return true;
  KeyState state;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    key_changed_.wait(lock, [&] { return key_state_ != KeyState::kPending; });
    state = key_state_;
  }
  if (state == KeyState::kStopped) return false;
  if (state == KeyState::kOpened) {
    stripe->cipher = std::make_unique<PayloadCipher>(data_key_);
    if (!stripe->cipher->ok()) {
      FailStripe(stripe, "libcrypto cannot set up the cipher");
      return false;
    }
  }
  return true;
}

void RestoreRun::StartStripe(uint32_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  stripes_.push_back(std::make_unique<RestoreStripe>(index));
  RestoreStripe *stripe = stripes_.back().get();
  stripe->thread = std::thread([this, stripe] { StripeMain(stripe); });
}

void RestoreRun::StripeMain(RestoreStripe *stripe) {
  MessageBuffer msg;
  void *handle =
      OpenStripeInThisThread(session_, stripe->index, KOR_MODE_READ, &msg);
  if (handle == nullptr) {
    FailStripe(stripe, "cannot open: " + BufferText(msg));
    stripe->full.Close();
    return;
  }
  // Read before the header goes to the main thread, which may then give
  // the session the device strings of every stripe.
  const std::string devname =
      DevnameOf(session_->params()->archdev[stripe->index]);
  bool failed = false;
  auto header = std::make_unique<Block>(kHeaderRequestSize);
  std::memset(&msg, 0, sizeof msg);
  if (WatchedRead(session_, stripe->index, handle, header->bytes.data(),
                  kHeaderRequestSize, &msg) != 0) {
    FailStripe(stripe, "reading the stream header failed: " + BufferText(msg));
    failed = true;
  }
  StreamHeader decoded;
  std::string ignored;
  // A header this stripe cannot read goes to the main thread all the same,
  // which reports it; nothing more is read.
  const bool readable =
      !failed && DecodeHeader(header->bytes.data(), kHeaderRequestSize,
                              &decoded, &ignored);
  if (!failed && stripe->full.Push(std::move(header)) && readable) {
    failed = !ReadFrames(stripe, handle, decoded, devname);
  }
  std::memset(&msg, 0, sizeof msg);
  if (WatchedClose(session_, stripe->index, handle, KOR_CLOSE_NORMAL, &msg) !=
          0 &&
      !failed) {
    FailStripe(stripe, "closing failed: " + BufferText(msg));
  }
  stripe->full.Close();
}

namespace {

// A frame read and being hashed on the pool, waiting to be handed on.
struct PendingFrame {
  std::unique_ptr<Block> block;
  HashJob job;
  uint64_t offset;
};

}  // namespace

// The stripe's circulating blocks, each one request.
void RestoreRun::GiveStripeBlocks(RestoreStripe *stripe, size_t blocks,
                                  uint32_t request) {
  for (size_t b = 0; b < blocks; ++b) {
    stripe->free.Push(std::make_unique<Block>(request));
  }
  stripe->free.SetBatch(HandOverBatch(blocks));
  stripe->full.SetBatch(HandOverBatch(blocks));
}

// Why the read of the request at `offset` failed.  The library reports
// every failed read alike (an I/O error, an object store that would not
// answer, data that ends early), so its reason text is the cause.  Only a
// volume file korbr itself finds without its closing labels says that the
// backup stopped short.
std::string RestoreRun::ReadFailure(const RestoreStripe *stripe,
                                    const StreamHeader &decoded,
                                    const std::string &devname,
                                    uint64_t offset,
                                    const std::string &library_text) {
  const std::string volume = DiskVolumeAt(devname, offset);
  // The request that failed would have held this frame, or the trailer.
  const uint64_t request_index =
      (offset - kHeaderRequestSize) / decoded.request_size;
  std::string reason =
      library_text + " at frame " +
      std::to_string(request_index * decoded.stripe_count + stripe->index) +
      " (or the trailer)";
  if (volume.empty()) return reason;
  reason += " (volume file " + volume + ")";
  const size_t dot = volume.rfind('.');
  const std::string held =
      VolumeHeldInstead(volume, static_cast<int>(stripe->index),
                        std::atoi(volume.c_str() + dot + 1));
  if (!held.empty()) {
    reason += "; that file holds " + held +
              ": the volume files are mixed up: rename them so that each "
              "holds the volume its name says ('korbr labels FILE' shows "
              "what a file holds)";
  } else if (VolumeCutShort(volume)) {
    reason += "; the volume file ends without its closing labels: the "
              "backup is incomplete, or the volume is damaged";
  }
  return reason;
}

// Reads the stripe's frames after its header, up to the trailer, handing
// each on once it is intact.  False when the stripe failed (the reason
// recorded); true when it stopped at the trailer, a stop or an interrupt.
bool RestoreRun::ReadFrames(RestoreStripe *stripe, void *handle,
                            const StreamHeader &decoded,
                            const std::string &devname) {
  MessageBuffer msg;
  const uint32_t request = decoded.request_size;
  const size_t blocks = BlocksPerStripe(decoded.stripe_count, request);
  GiveStripeBlocks(stripe, blocks, request);
  // Where the next request begins in the stripe's request stream.
  uint64_t offset = kHeaderRequestSize;
  auto read_failure = [&]() {
    return ReadFailure(stripe, decoded, devname, offset, BufferText(msg));
  };
  const uint32_t version = decoded.version;
  if (version >= 3 && !PrepareDecryption(stripe, decoded)) return true;
  HashPool *pool = version >= 3 ? VerifyPool(decoded.stripe_count) : nullptr;
  // Frames held back while hashed: one block of the stripe stays free.
  const size_t depth =
      pool == nullptr ? 0 : std::min<size_t>(pool->threads(), blocks - 1);
  // Version 3 with a pool: frames read, being hashed there, in order.
  std::deque<std::unique_ptr<PendingFrame>> pending;
  // Hands on the oldest pending frame once it checks out.  False when the
  // stripe failed (or stops).
  auto hand_on_oldest = [&](bool *failed) {
    std::unique_ptr<PendingFrame> p = std::move(pending.front());
    pending.pop_front();
    pool->Wait(&p->job);
    if (!FrameChecksOut(stripe, version, p->block.get(), &p->job.digest,
                        devname, p->offset)) {
      *failed = true;
      return false;
    }
    return stripe->full.Push(std::move(p->block));
  };
  bool failed = false;
  bool going = true;
  while (going) {
    if (interrupts_.Interrupted()) break;
    std::unique_ptr<Block> block = stripe->free.Pop();
    if (block == nullptr) break;
    std::memset(&msg, 0, sizeof msg);
    if (WatchedRead(session_, stripe->index, handle, block->bytes.data(),
                    static_cast<int32_t>(request), &msg) != 0) {
      // The frames read before go on first: a damaged one among them is
      // the first thing wrong.
      while (going && !pending.empty()) going = hand_on_oldest(&failed);
      if (!failed) FailStripe(stripe, read_failure());
      failed = true;
      break;
    }
    const RequestKind kind =
        ClassifyRequest(block->bytes.data(), block->bytes.size());
    const uint64_t here = offset;
    block->stripe_offset = offset;
    offset += request;
    if (pool != nullptr && kind == RequestKind::kFrame) {
      auto p = std::make_unique<PendingFrame>();
      p->job.data = block->bytes.data() + kFrameHeaderSizeV3;
      p->job.length = PayloadLengthOf(block->bytes.data(), block->bytes.size());
      p->offset = here;
      p->block = std::move(block);
      pool->Submit(&p->job);
      pending.push_back(std::move(p));
      if (pending.size() > depth) going = hand_on_oldest(&failed);
      continue;
    }
    while (going && !pending.empty()) going = hand_on_oldest(&failed);
    if (!going) break;
    // A damaged frame stops here, before any of it is handed on.
    if (kind == RequestKind::kFrame &&
        !FrameChecksOut(stripe, version, block.get(), nullptr, devname, here)) {
      failed = true;
      break;
    }
    if (!stripe->full.Push(std::move(block))) break;
    if (kind != RequestKind::kFrame) break;  // the trailer, or damage
  }
  while (going && !failed && !pending.empty()) going = hand_on_oldest(&failed);
  for (auto &p : pending) pool->Wait(&p->job);
  return !failed;
}

bool RestoreRun::FrameChecksOut(RestoreStripe *stripe, uint32_t version,
                                Block *frame, const Sha256Digest *payload,
                                const std::string &devname, uint64_t offset) {
  std::string damage;
  bool intact;
  if (version >= 3) {
    frame->digest = payload != nullptr
                        ? *payload
                        : PayloadDigestOf(frame->bytes.data(),
                                          frame->bytes.size());
    intact = FrameDigestMatches(frame->bytes.data(), frame->digest, &damage) &&
             FrameEncryptionAgrees(frame->bytes.data(), stripe->encrypted,
                                   &damage);
    if (intact && stripe->cipher != nullptr) {
      // Authentic and decrypted in place, or zeroed; a plain stream's
      // content seal then takes the input's digest, not the ciphertext's.
      intact = OpenFramePayload(stripe->cipher.get(), stripe->backup_id,
                                stripe->stripe_count, frame->bytes.data(),
                                frame->bytes.size(), &damage);
      if (intact && !stripe->compressed) {
        frame->digest =
            Sha256Of(frame->bytes.data() + kFrameHeaderSizeV3,
                     PayloadLengthOf(frame->bytes.data(), frame->bytes.size()));
      }
    }
  } else {
    intact = FrameIntact(version, frame->bytes.data(), frame->bytes.size(),
                         &damage);
  }
  if (!intact) {
    const std::string volume = DiskVolumeAt(devname, offset);
    FailStripe(stripe, damage +
                           (volume.empty() ? std::string()
                                           : " (volume file " + volume + ")") +
                           (output_->verify_only
                                ? "; nothing of it was used"
                                : "; nothing of it was restored"));
  }
  return intact;
}

HashPool *RestoreRun::VerifyPool(uint32_t stripe_count) {
  if (stripe_count >= ProcessorCount()) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (verify_pool_ == nullptr) verify_pool_ = std::make_unique<HashPool>(0);
  return verify_pool_.get();
}

RestoreStripe *RestoreRun::StripeAt(uint32_t stripe) {
  std::lock_guard<std::mutex> lock(mutex_);
  return stripes_[stripe].get();
}

std::unique_ptr<Block> RestoreRun::Next(uint32_t stripe) {
  return StripeAt(stripe)->full.Pop();
}

void RestoreRun::HashMain() {
  HostSession::BlockInterruptsInThisThread("korbr-hash");
  hashed_all_ = HashEveryBlock(
      &to_hash_,
      [this](std::unique_ptr<Block> block) {
        hashed_bytes_ += block->payload_length;
        return to_write_.Push(std::move(block));
      },
      &digest_);
  if (hashed_all_) to_write_.Close();
}

void RestoreRun::HashChunksMain() {
  HostSession::BlockInterruptsInThisThread("korbr-hash");
  hashed_all_ = HashEveryBlockInPool(
      &to_hash_, kOutputBlocks,
      [this](std::unique_ptr<Block> block) {
        hashed_bytes_ += block->payload_length;
        return to_write_.Push(std::move(block));
      },
      &content_chain_);
  if (hashed_all_) to_write_.Close();
}

void RestoreRun::InflateMain() {
  HostSession::BlockInterruptsInThisThread("korbr-zstd");
  ZstdDecompressor zstd;
  std::string why;
  std::unique_ptr<Block> output;
  CodecBuffer out;
  auto take_output = [&]() -> bool {
    output = free_outputs_.Pop();
    if (output == nullptr) return false;
    output->payload_offset = 0;
    out.data = output->bytes.data();
    out.size = output->bytes.size();
    out.pos = 0;
    return true;
  };
  auto pass_on = [&]() -> bool {
    output->payload_length = static_cast<uint32_t>(out.pos);
    return to_hash_.Push(std::move(output)) && take_output();
  };
  if (!take_output()) return;
  for (;;) {
    std::unique_ptr<Block> frame = to_inflate_.Pop();
    if (frame == nullptr) break;
    CodecBuffer in;
    in.data = frame->bytes.data() + frame->payload_offset;
    in.size = frame->payload_length;
    // Until the frame is used up and zstd holds nothing back (it filled
    // the output buffer last time, short of the stream's end: once there,
    // another call would start on a next zstd frame and leave the end).
    while (in.pos < in.size ||
           (out.pos == out.size && !zstd.AtFrameEnd())) {
      if (out.pos == out.size && !pass_on()) return;
      if (!zstd.Decompress(&in, &out, &why)) {
        StageFailed(why + " (the backup is damaged)");
        return;
      }
      if (in.pos == in.size && out.pos < out.size) break;
    }
    GiveBack(std::move(frame));
  }
  if (to_inflate_.aborted()) return;
  if (!zstd.AtFrameEnd()) {
    StageFailed(
        "the stored stream ends inside its compressed data (the backup is "
        "damaged)");
    return;
  }
  if (out.pos > 0) {
    if (!pass_on()) return;
  }
  inflated_all_ = true;
  to_hash_.Close();
}

void RestoreRun::GiveBack(std::vector<void *> *blocks) {
  for (void *owner : *blocks) {
    GiveBack(std::unique_ptr<Block>(static_cast<Block *>(owner)));
  }
  blocks->clear();
}

void RestoreRun::GiveBack(std::unique_ptr<Block> block) {
  if (block->pool == BlockPool::kCodec) {
    free_outputs_.Push(std::move(block));
    return;
  }
  const uint32_t stripe = block->stripe;
  StripeAt(stripe)->free.Push(std::move(block));
}

void RestoreRun::WriteMain() {
  HostSession::BlockInterruptsInThisThread("korbr-write");
  const int fd = output_->to_stdout ? session_->data_fd() : output_->fd;
  // A regular file being made (not a device or a pipe) gets page-aligned
  // writes.
  PieceWriter writer(fd, !output_->to_stdout && !output_->direct);
  std::vector<void *> done;
  bool ok = true;
  for (;;) {
    std::unique_ptr<Block> block = to_write_.Pop();
    if (block == nullptr) break;
    if (interrupts_.Interrupted()) {
      // Ctrl-C: nothing more goes out, even what is already checked.
      GiveBack(std::move(block));
      AbortAll();
      break;
    }
    const uint32_t length = block->payload_length;
    if (output_->verify_only) {
      GiveBack(std::move(block));
      written_ += length;
      session_->AddBytes(length);
      continue;
    }
    Piece piece;
    piece.data = block->bytes.data() + block->payload_offset;
    piece.length = length;
    piece.owner = block.release();
    ok = writer.Add(piece, &done);
    GiveBack(&done);
    if (!ok) break;
    written_ += length;
    session_->AddBytes(length);
  }
  if (ok && !to_write_.aborted()) ok = writer.Flush(&done);
  GiveBack(&done);
  if (!ok) {
    const int error = errno;
    StageFailed(
        "writing " +
        std::string(output_->to_stdout ? "standard output" : output_->path) +
        " failed: " + std::strerror(error));
  } else {
    wrote_all_ = !to_write_.aborted();
  }
  // Blocks still held go away with the writer; nobody waits for them now.
  std::vector<void *> pending;
  writer.TakePending(&pending);
  for (void *owner : pending) delete static_cast<Block *>(owner);
}

}  // namespace cli
}  // namespace kor
