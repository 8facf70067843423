// libzstd behind korbr's two codec classes.
#include "cli/format/zstd_codec.h"

#include <unistd.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/options/arg_parser.h"

namespace kor {
namespace cli {
namespace {

[[noreturn]] void OutOfMemory(const char *what) {
  std::fprintf(stderr, "korbr: libzstd: %s failed\n", what);
  std::abort();
}

bool Failed(size_t code, const char *what, std::string *why) {
  if (!ZSTD_isError(code)) return false;
  *why = std::string(what) + ": " + ZSTD_getErrorName(code);
  return true;
}

}  // namespace

bool ParseCompressOption(const std::string &text, int *level,
                         std::string *why) {
  uint64_t value = kDefaultZstdLevel;
  const std::string method = text.substr(0, text.find(':'));
  if (method != "zstd" ||
      (text.size() > method.size() &&
       !ParseCount(text.substr(method.size() + 1), 1, 19, &value))) {
    *why = "--compress must be zstd or zstd:LEVEL with LEVEL 1 to 19, not '" +
           text + "'";
    return false;
  }
  *level = static_cast<int>(value);
  return true;
}

ZstdCompressor::ZstdCompressor() : context_(ZSTD_createCCtx()) {
  if (context_ == nullptr) OutOfMemory("ZSTD_createCCtx");
}

ZstdCompressor::~ZstdCompressor() {
  ZSTD_freeCCtx(static_cast<ZSTD_CCtx *>(context_));
}

bool ZstdCompressor::Start(int level, int workers, std::string *why) {
  ZSTD_CCtx *cctx = static_cast<ZSTD_CCtx *>(context_);
  if (workers <= 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    workers = online > 0 ? static_cast<int>(online) : 1;
  }
  if (Failed(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level),
             "setting the zstd level", why)) {
    return false;
  }
  // A libzstd built without threads refuses workers: it then compresses
  // in the calling thread, which is slower but right.
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, workers);
  return !Failed(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0),
                 "setting up zstd", why);
}

bool ZstdCompressor::Compress(CodecBuffer *in, CodecBuffer *out, bool end,
                              bool *finished, std::string *why) {
  ZSTD_inBuffer zin = {in->data, in->size, in->pos};
  ZSTD_outBuffer zout = {out->data, out->size, out->pos};
  const size_t left =
      ZSTD_compressStream2(static_cast<ZSTD_CCtx *>(context_), &zout, &zin,
                           end ? ZSTD_e_end : ZSTD_e_continue);
  in->pos = zin.pos;
  out->pos = zout.pos;
  if (Failed(left, "zstd compression", why)) return false;
  *finished = end && left == 0;
  return true;
}

ZstdDecompressor::ZstdDecompressor() : context_(ZSTD_createDCtx()) {
  if (context_ == nullptr) OutOfMemory("ZSTD_createDCtx");
}

ZstdDecompressor::~ZstdDecompressor() {
  ZSTD_freeDCtx(static_cast<ZSTD_DCtx *>(context_));
}

bool ZstdDecompressor::Decompress(CodecBuffer *in, CodecBuffer *out,
                                  std::string *why) {
  ZSTD_inBuffer zin = {in->data, in->size, in->pos};
  ZSTD_outBuffer zout = {out->data, out->size, out->pos};
  const size_t hint =
      ZSTD_decompressStream(static_cast<ZSTD_DCtx *>(context_), &zout, &zin);
  in->pos = zin.pos;
  out->pos = zout.pos;
  if (Failed(hint, "the stored stream does not decompress", why)) {
    return false;
  }
  // 0: a frame is complete and fully flushed.
  at_frame_end_ = hint == 0;
  return true;
}

}  // namespace cli
}  // namespace kor
