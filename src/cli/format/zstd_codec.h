// zstd streaming compression for korbr's streams (libzstd), and the
// --compress option's value.
//
// The compressor runs zstd's own worker threads (one per online processor
// by default) so that compression keeps up with the stripes; the caller
// feeds input and collects output into buffers it owns, so frames are
// filled in place.  Both sides report zstd's errors as text.
#ifndef KORBR_CLI_ZSTD_CODEC_H_
#define KORBR_CLI_ZSTD_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace kor {
namespace cli {

constexpr int kDefaultZstdLevel = 3;

// "zstd" or "zstd:LEVEL" (LEVEL 1 to 19).  False with a reason otherwise.
bool ParseCompressOption(const std::string &text, int *level, std::string *why);

// A window into the caller's memory.
struct CodecBuffer {
  uint8_t *data = nullptr;
  size_t size = 0;
  size_t pos = 0;  // bytes used (output) or consumed (input)
};

class ZstdCompressor {
 public:
  ZstdCompressor();
  ~ZstdCompressor();
  ZstdCompressor(const ZstdCompressor &) = delete;
  ZstdCompressor &operator=(const ZstdCompressor &) = delete;

  // Before the first Compress.  `workers` 0: one per online processor.
  bool Start(int level, int workers, std::string *why);
  // Consumes input and produces output until the input is used up or the
  // output is full.  With `end`, finishes the stream; *finished tells
  // whether everything is flushed (otherwise call again with more output
  // room).  False with a reason on a zstd error.
  bool Compress(CodecBuffer *in, CodecBuffer *out, bool end, bool *finished,
                std::string *why);

 private:
  void *context_;
};

class ZstdDecompressor {
 public:
  ZstdDecompressor();
  ~ZstdDecompressor();
  ZstdDecompressor(const ZstdDecompressor &) = delete;
  ZstdDecompressor &operator=(const ZstdDecompressor &) = delete;

  // Consumes input and produces output until the input is used up or the
  // output is full.  False with a reason when the data is not a valid zstd
  // stream.
  bool Decompress(CodecBuffer *in, CodecBuffer *out, std::string *why);
  // True when the input so far ends on the end of a zstd frame.
  bool AtFrameEnd() const { return at_frame_end_; }

 private:
  void *context_;
  bool at_frame_end_ = true;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_ZSTD_CODEC_H_
