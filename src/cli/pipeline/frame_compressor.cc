#include "cli/pipeline/frame_compressor.h"

#include <utility>

namespace kor {
namespace cli {

FrameCompressor::FrameCompressor(StreamEncoder *encoder, uint32_t request_size,
                                 FrameRouting routing)
    : encoder_(encoder),
      capacity_(FramePayloadCapacity(request_size, encoder->version())),
      routing_(std::move(routing)) {}

bool FrameCompressor::TakeCurrent() {
  const uint64_t sequence = encoder_->frames() + (pending_ ? 1 : 0);
  current_ = routing_.take_free(
      static_cast<uint32_t>(sequence % encoder_->stripe_count()));
  if (current_ == nullptr) return false;
  out_.data = current_->bytes.data() + encoder_->payload_offset();
  out_.size = capacity_;
  out_.pos = 0;
  return true;
}

bool FrameCompressor::Ship(std::unique_ptr<Block> frame, uint32_t length,
                           bool last) {
  encoder_->SealNextFrame(frame->bytes.data(), length, last);
  return routing_.ship(std::move(frame));
}

// After each step: a pending frame goes out once its successor has bytes;
// a full current frame becomes the pending one.
bool FrameCompressor::Settle() {
  if (pending_ && out_.pos > 0 &&
      !Ship(std::move(pending_), capacity_, false)) {
    return false;
  }
  if (out_.pos == out_.size) {
    pending_ = std::move(current_);
    return TakeCurrent();
  }
  return true;
}

bool FrameCompressor::CompressChunk(Block *chunk, std::string *why) {
  CodecBuffer in;
  in.data = chunk->bytes.data();
  in.size = chunk->payload_length;
  while (in.pos < in.size) {
    bool finished = false;
    if (!zstd_.Compress(&in, &out_, false, &finished, why)) return false;
    if (!Settle()) return false;
  }
  return true;
}

// Lets zstd give out what it still holds, to the end of its frame.
bool FrameCompressor::Drain(std::string *why) {
  for (bool finished = false; !finished;) {
    CodecBuffer none;
    if (!zstd_.Compress(&none, &out_, true, &finished, why)) return false;
    if (!Settle()) return false;
  }
  return true;
}

bool FrameCompressor::ShipLast() {
  if (pending_ && out_.pos == 0) {
    // The stream ended exactly at the pending frame's end.
    if (!routing_.give_back(std::move(current_))) return false;
    return Ship(std::move(pending_), capacity_, true);
  }
  if (pending_ && !Ship(std::move(pending_), capacity_, false)) return false;
  return Ship(std::move(current_), static_cast<uint32_t>(out_.pos), true);
}

bool FrameCompressor::Run(int level, BlockQueue *chunks,
                          BlockQueue *free_chunks, std::string *why) {
  why->clear();
  if (!zstd_.Start(level, 0, why)) return false;
  if (!TakeCurrent()) return false;
  for (;;) {
    std::unique_ptr<Block> chunk = chunks->Pop();
    if (chunk == nullptr) break;
    if (!CompressChunk(chunk.get(), why)) return false;
    if (!free_chunks->Push(std::move(chunk))) return false;
  }
  if (chunks->aborted()) return false;
  return Drain(why) && ShipLast();
}

}  // namespace cli
}  // namespace kor
