// The compression stage of a backup: turns the input's chunks into zstd
// frames, sealed in stream order and dealt round-robin over the stripes.
#ifndef KORBR_CLI_FRAME_COMPRESSOR_H_
#define KORBR_CLI_FRAME_COMPRESSOR_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cli/format/stream_format.h"
#include "cli/format/zstd_codec.h"
#include "cli/pipeline/block_queue.h"

namespace kor {
namespace cli {

// Where the compressor's frames come from and go.  Each call returns null
// or false once the pipeline has stopped.
struct FrameRouting {
  // An empty block of `stripe`'s pool (stripe, payload offset set).
  std::function<std::unique_ptr<Block>(uint32_t stripe)> take_free;
  // A sealed frame to its stripe's writer.
  std::function<bool(std::unique_ptr<Block> frame)> ship;
  // An unused block back to its stripe's pool.
  std::function<bool(std::unique_ptr<Block> block)> give_back;
};

// One compressed stream: Run once.  A frame is sealed only when it is known
// whether it is the last one, so a full frame waits as `pending` until more
// output (or the end of the stream) settles that.
class FrameCompressor {
 public:
  FrameCompressor(StreamEncoder *encoder, uint32_t request_size,
                  FrameRouting routing);

  // Compresses every chunk of `chunks` (returning each to `free_chunks`)
  // at zstd `level` until `chunks` is closed.  True when the whole stream
  // went out in frames, the last one marked.  False otherwise, with *why
  // set when the codec failed, left empty when the pipeline stopped.
  bool Run(int level, BlockQueue *chunks, BlockQueue *free_chunks,
           std::string *why);

 private:
  bool TakeCurrent();
  bool Ship(std::unique_ptr<Block> frame, uint32_t length, bool last);
  bool Settle();
  bool CompressChunk(Block *chunk, std::string *why);
  bool Drain(std::string *why);
  bool ShipLast();

  StreamEncoder *encoder_;
  uint32_t capacity_;  // payload bytes per frame
  FrameRouting routing_;
  ZstdCompressor zstd_;
  std::unique_ptr<Block> pending_;  // full, not yet known to be the last
  std::unique_ptr<Block> current_;  // being filled through out_
  CodecBuffer out_;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_FRAME_COMPRESSOR_H_
