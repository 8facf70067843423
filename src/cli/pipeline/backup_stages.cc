// The threads of a backup: the stripes' writers, the hasher, the
// compressor, and the main thread's reading and dealing of the input.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "cli/format/stream_seals.h"
#include "cli/format/volume_locator.h"
#include "cli/options/device_list.h"
#include "cli/pipeline/backup_run_parts.h"
#include "cli/pipeline/frame_compressor.h"
#include "cli/pipeline/hash_stage.h"
#include "cli/pipeline/stripe_calls.h"
#include "korbr/korbr.h"

namespace kor {
namespace cli {

BackupId NewBackupId() {
  BackupId id{};
  bool filled = false;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    filled = read(fd, id.data(), id.size()) == static_cast<ssize_t>(id.size());
    close(fd);
  }
  if (!filled) {
    // Without a random source: time and process id still tell backups
    // apart in practice.
    const uint64_t a = static_cast<uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count());
    const uint64_t b = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 8; ++i) {
      id[static_cast<size_t>(i)] = static_cast<uint8_t>(a >> (8 * i));
      id[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(b >> (8 * i));
    }
  }
  return id;
}

namespace {

// Reads until `length` bytes are in or the input ends.  -1 on a read error
// (errno kept) or when interrupted.
ssize_t ReadFull(int fd, uint8_t *buffer, size_t length,
                 const InterruptSource &interrupts) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = read(fd, buffer + got, length - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR && !interrupts.Interrupted()) continue;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

void BackupRun::AbortAll() {
  to_hash_.Abort();
  to_compress_.Abort();
  free_chunks_.Abort();
  for (auto &s : stripes_) {
    s->full.Abort();
    s->free.Abort();
  }
}

void BackupRun::FailStripe(BackupStripe *stripe, const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The first failure is the cause; what fails after it (the close of a
    // stripe whose volume could not be opened, say) only follows from it.
    if (stripe->error.empty()) stripe->error = reason;
    failed_ = true;
  }
  stamped_.notify_all();
  AbortAll();
}

void BackupRun::Fail(const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stage_error_.empty()) stage_error_ = reason;
    failed_ = true;
  }
  stamped_.notify_all();
  AbortAll();
}

void BackupRun::StripeMain(BackupStripe *stripe) {
  MessageBuffer msg;
  void *handle =
      OpenStripeInThisThread(session_, stripe->index, KOR_MODE_WRITE, &msg);
  if (handle == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    stripe->error = "cannot open: " + BufferText(msg);
    failed_ = true;
  }
  if (!WaitForGo(stripe, handle, handle != nullptr)) return;
  WriteStripe(stripe, handle);
  std::memset(&msg, 0, sizeof msg);
  if (WatchedClose(session_, stripe->index, handle, KOR_CLOSE_NORMAL, &msg) !=
      0) {
    FailStripe(stripe, "closing failed: " + BufferText(msg));
  }
}

// Reports this stripe's open and waits until every stripe has: no data goes
// out unless all of them opened.  False (the handle closed) when the backup
// does not go ahead.
bool BackupRun::WaitForGo(BackupStripe *stripe, void *handle, bool opened) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++open_results_;
  opened_.notify_all();
  opened_.wait(lock, [&] { return decided_; });
  if (go_) return true;
  lock.unlock();
  if (opened) {
    MessageBuffer msg;
    std::memset(&msg, 0, sizeof msg);
    WatchedClose(session_, stripe->index, handle, KOR_CLOSE_NORMAL, &msg);
  }
  return false;
}

// The header, then the stripe's frames until its trailer (or a failure).
void BackupRun::WriteStripe(BackupStripe *stripe, void *handle) {
  // The volume file a failed write was meant for, when it can be told.
  const std::string devname =
      DevnameOf(session_->params()->archdev[stripe->index]);
  auto where = [&]() {
    const uint64_t offset =
        stripe->requests == 0
            ? 0
            : kHeaderRequestSize + (stripe->requests - 1) * request_size_;
    const std::string volume = DiskVolumeAt(devname, offset);
    return volume.empty() ? std::string() : " (volume file " + volume + ")";
  };
  MessageBuffer msg;
  std::vector<uint8_t> header(kHeaderRequestSize);
  encoder_.EncodeHeaderFor(stripe->index, header.data());
  std::memset(&msg, 0, sizeof msg);
  if (WatchedWrite(session_, stripe->index, handle, header.data(),
                   kHeaderRequestSize, &msg) != 0) {
    FailStripe(stripe, BufferText(msg) + where());
    return;
  }
  ++stripe->requests;
  // Each stripe's thread encrypts its own frames, with a context of its own.
  std::unique_ptr<PayloadCipher> cipher;
  if (encoder_.encrypted()) {
    cipher = std::make_unique<PayloadCipher>(data_key_);
    if (!cipher->ok()) {
      FailStripe(stripe, "libcrypto cannot set up the cipher");
      return;
    }
  }
  for (;;) {
    std::unique_ptr<Block> block = stripe->full.Pop();
    if (block == nullptr) return;  // aborted
    if (encoder_.version() >= 3 && !block->trailer &&
        !StampFrame(stripe, block.get(), cipher.get())) {
      return;
    }
    std::memset(&msg, 0, sizeof msg);
    if (WatchedWrite(session_, stripe->index, handle, block->bytes.data(),
                     static_cast<int32_t>(request_size_), &msg) != 0) {
      FailStripe(stripe, BufferText(msg) + where());
      return;
    }
    ++stripe->requests;
    const bool trailer = block->trailer;
    block->trailer = false;
    stripe->free.Push(std::move(block));
    if (trailer) {
      stripe->wrote_trailer = true;
      return;
    }
  }
}

bool BackupRun::StampFrame(BackupStripe *stripe, Block *frame,
                           PayloadCipher *cipher) {
  Sha256Digest plain{};
  if (cipher != nullptr) {
    // The content seal of a plain stream takes its chunks' digests from the
    // frames: of the input, not of the ciphertext.
    if (zstd_level_ == 0) {
      plain = Sha256Of(frame->bytes.data() + kFrameHeaderSizeV3,
                       frame->payload_length);
    }
    if (!SealFramePayload(cipher, encoder_.backup_id(),
                          encoder_.stripe_count(), frame->bytes.data())) {
      FailStripe(stripe, "libcrypto failed to encrypt a frame");
      return false;
    }
  }
  const Sha256Digest stored = StampFrameDigest(frame->bytes.data());
  const Sha256Digest &payload = cipher != nullptr ? plain : stored;
  Sha256Digest digest;
  std::memcpy(digest.data(), frame->bytes.data() + kFrameDigestOffset,
              digest.size());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stripe->frame_digests.push_back(digest);
    stripe->payload_digests.push_back(payload);
  }
  stamped_.notify_all();
  return true;
}

bool BackupRun::AwaitSeals(Sha256Digest *content, Sha256Digest *stored) {
  const uint64_t frames = encoder_.frames();
  const uint32_t count = encoder_.stripe_count();
  std::unique_lock<std::mutex> lock(mutex_);
  stamped_.wait(lock, [&] {
    if (failed_) return true;
    for (auto &s : stripes_) {
      if (s->frame_digests.size() < FramesOnStripe(frames, count, s->index)) {
        return false;
      }
    }
    return true;
  });
  if (failed_) return false;
  SealChain stored_chain;
  SealChain content_chain;
  for (uint64_t k = 0; k < frames; ++k) {
    const BackupStripe &s = *stripes_[k % count];
    stored_chain.Add(s.frame_digests[k / count]);
    // Unless compressed, each frame holds one chunk of the input (an empty
    // input has one empty frame and no chunk).
    if (input_bytes_.load() > 0) content_chain.Add(s.payload_digests[k / count]);
  }
  *stored = stored_chain.FinishStored();
  SealChain &chunks = zstd_level_ > 0 ? chunk_chain_ : content_chain;
  *content = chunks.FinishContent(input_bytes_.load(),
                                  ContentChunkSize(request_size_));
  return true;
}

// Version 3 with compression: a pool hashes a few chunks at a time; each
// goes on to the compressor, in order, once its digest is in.
void BackupRun::HashChunksMain() {
  HostSession::BlockInterruptsInThisThread("korbr-hash");
  hashed_all_ = HashEveryBlockInPool(
      &to_hash_, kChunkBlocks,
      [this](std::unique_ptr<Block> chunk) {
        return to_compress_.Push(std::move(chunk));
      },
      &chunk_chain_);
  if (hashed_all_) to_compress_.Close();
}

void BackupRun::HashMain() {
  HostSession::BlockInterruptsInThisThread("korbr-hash");
  // Frames go on to their stripe; chunks of a compressed backup to zstd.
  hashed_all_ = HashEveryBlock(
      &to_hash_,
      [this](std::unique_ptr<Block> block) {
        return block->pool == BlockPool::kCodec
                   ? to_compress_.Push(std::move(block))
                   : stripes_[block->stripe]->full.Push(std::move(block));
      },
      &digest_);
  if (hashed_all_) to_compress_.Close();
}

void BackupRun::CompressMain() {
  HostSession::BlockInterruptsInThisThread("korbr-zstd");
  FrameRouting routing;
  routing.take_free = [this](uint32_t stripe) { return TakeFree(stripe); };
  routing.ship = [this](std::unique_ptr<Block> frame) {
    const uint32_t stripe = frame->stripe;
    return stripes_[stripe]->full.Push(std::move(frame));
  };
  routing.give_back = [this](std::unique_ptr<Block> block) {
    const uint32_t stripe = block->stripe;
    return stripes_[stripe]->free.Push(std::move(block));
  };
  FrameCompressor compressor(&encoder_, request_size_, std::move(routing));
  std::string why;
  compressed_all_ =
      compressor.Run(zstd_level_, &to_compress_, &free_chunks_, &why);
  if (!why.empty()) Fail(why);
}

std::unique_ptr<Block> BackupRun::TakeFree(uint32_t stripe) {
  std::unique_ptr<Block> block = stripes_[stripe]->free.Pop();
  if (block != nullptr) {
    block->stripe = stripe;
    block->payload_offset = encoder_.payload_offset();
  }
  return block;
}

bool BackupRun::ReadFailed(ssize_t got) {
  if (got >= 0 && !interrupts_.Interrupted()) return false;
  if (got < 0 && !interrupts_.Interrupted()) {
    input_error_ =
        std::string("reading the input failed: ") + std::strerror(errno);
  }
  return true;
}

bool BackupRun::DealChunks() {
  for (;;) {
    std::unique_ptr<Block> chunk = free_chunks_.Pop();
    if (chunk == nullptr) return false;
    const ssize_t got =
        ReadFull(input_fd_, chunk->bytes.data(), chunk_size_, interrupts_);
    if (ReadFailed(got)) return false;
    if (got == 0) return true;
    chunk->payload_offset = 0;
    chunk->payload_length = static_cast<uint32_t>(got);
    input_bytes_ += static_cast<uint64_t>(got);
    session_->AddBytes(static_cast<uint64_t>(got));
    if (!to_hash_.Push(std::move(chunk))) return false;
  }
}

bool BackupRun::Deal(uint32_t stripe, std::unique_ptr<Block> block) {
  block->stripe = stripe;
  // Version 3 hashes on the stripes' threads: frames go straight there.
  if (encoder_.version() >= 3) {
    return stripes_[stripe]->full.Push(std::move(block));
  }
  return to_hash_.Push(std::move(block));
}

bool BackupRun::DealInput() {
  if (zstd_level_ > 0) return DealChunks();
  const uint32_t capacity = encoder_.payload_capacity();
  const uint32_t offset = encoder_.payload_offset();
  const uint32_t count = encoder_.stripe_count();
  uint64_t sequence = 0;
  // A frame is known to be the last one when its read came up short, or
  // when the read of the next frame finds the input at its end.
  std::unique_ptr<Block> current = TakeFree(0);
  if (current == nullptr) return false;
  ssize_t got =
      ReadFull(input_fd_, current->bytes.data() + offset, capacity,
               interrupts_);
  for (;;) {
    if (got < 0) {
      if (!interrupts_.Interrupted()) {
        input_error_ =
            std::string("reading the input failed: ") + std::strerror(errno);
      }
      return false;
    }
    if (interrupts_.Interrupted()) return false;
    const uint32_t stripe = static_cast<uint32_t>(sequence % count);
    if (static_cast<uint32_t>(got) < capacity) {
      encoder_.SealNextFrame(current->bytes.data(), static_cast<uint32_t>(got),
                             true);
      current->payload_length = static_cast<uint32_t>(got);
      input_bytes_ += static_cast<uint64_t>(got);
      session_->AddBytes(static_cast<uint64_t>(got));
      return Deal(stripe, std::move(current));
    }
    std::unique_ptr<Block> next =
        TakeFree(static_cast<uint32_t>((sequence + 1) % count));
    if (next == nullptr) return false;
    const ssize_t next_got =
        ReadFull(input_fd_, next->bytes.data() + offset, capacity,
                 interrupts_);
    const bool last = next_got == 0;
    encoder_.SealNextFrame(current->bytes.data(), capacity, last);
    current->payload_length = capacity;
    input_bytes_ += capacity;
    session_->AddBytes(capacity);
    if (last) {
      stripes_[(sequence + 1) % count]->free.Push(std::move(next));
      return Deal(stripe, std::move(current));
    }
    if (!Deal(stripe, std::move(current))) return false;
    current = std::move(next);
    got = next_got;
    ++sequence;
  }
}

}  // namespace cli
}  // namespace kor
