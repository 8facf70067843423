#include "device/block_read.h"

#include <cstring>

#include "device/raw_transfer.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "label/label_format.h"
#include "os/win32_codes.h"

namespace kor {

int32_t ReadDevice(StripeHandle *h, void *data, int32_t length) {
  if (h->media_type == MEDIA_TAPE) return ReadTapeDevice(h, data, length);
  return ReadDiskDevice(h, data, length);
}

int32_t ReadTapeDevice(StripeHandle *h, void *data, int32_t length) {
  const int32_t block = h->blocksize;
  uint8_t *out = static_cast<uint8_t *>(data);
  // A request of exactly one block goes straight into the caller's buffer.
  if (length == block)
    return ReadWithRetry(h, out, static_cast<uint32_t>(block));
  uint8_t *staging = h->block_buffer.get();
  int32_t wanted = length;
  do {
    const int32_t r = ReadWithRetry(h, staging, static_cast<uint32_t>(block));
    if (r < 0 || r < block) return r;
    const int32_t take = wanted < block ? wanted : block;
    if (take > 0) std::memcpy(out, staging, static_cast<size_t>(take));
    out += take;
    wanted -= take;
  } while (wanted > 0 && h->io_status != IO_AT_EOV);
  return h->io_status == IO_AT_EOV ? length - wanted : length;
}

int32_t ReadDiskDevice(StripeHandle *h, void *data, int32_t length) {
  uint8_t *out = static_cast<uint8_t *>(data);
  if (h->readahead_len == 0) {
    const int32_t r = ReadWithRetry(h, out, static_cast<uint32_t>(length));
    // (io_status may still say IO_AT_EOV here while a switch reads the next
    // volume's labels, so the count alone decides.)
    if (r < 0) return r;
    if (r >= kEovProbeSize || !CouldBeginTrailer(out, r)) return r;
    // Too few bytes to tell data from the end-of-volume record: keep them
    // and look further before handing anything out.
    std::memcpy(h->readahead, out, static_cast<size_t>(r));
    h->readahead_len = r;
  }
  if (h->readahead_len < kEovProbeSize &&
      CouldBeginTrailer(h->readahead, h->readahead_len)) {
    const int32_t r =
        ReadWithRetry(h, h->readahead + h->readahead_len,
                      static_cast<uint32_t>(kEovProbeSize - h->readahead_len));
    if (r < 0) return r;
    h->readahead_len += r;
    if (IsEovRecord(h->readahead, h->readahead_len)) {
      h->readahead_len = 0;
      h->io_status = IO_AT_EOV;
      if (Traces(h, kTraceAnomaly))
        TraceLine(h, "Stripe %d at EOV\n", h->stripe);
      return kEovRecordSize;
    }
  }
  if (IsEofRecord(h->readahead, h->readahead_len)) {
    // The backup of this stripe ends here: its closing labels are not
    // data.  They stay looked at, so every later read is refused too.
    h->last_os_error = kErrorHandleEof;
    RaiseError(h, kErrRead, {h->devname, SystemText(kErrorHandleEof)});
    return -1;
  }
  const int32_t from_readahead =
      length < h->readahead_len ? length : h->readahead_len;
  // (A zero-length request may come without a buffer.)
  if (from_readahead > 0)
    std::memcpy(out, h->readahead, static_cast<size_t>(from_readahead));
  h->readahead_len -= from_readahead;
  std::memmove(h->readahead, h->readahead + from_readahead,
               static_cast<size_t>(h->readahead_len));
  if (from_readahead == length) return length;
  const int32_t r = ReadWithRetry(h, out + from_readahead,
                                  static_cast<uint32_t>(length - from_readahead));
  if (r < 0) return r;
  return from_readahead + r;
}

}  // namespace kor
