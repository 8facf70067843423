#include "device/block_read.h"

#include <cstring>

#include "device/raw_transfer.h"
#include "device/volume_cache.h"
#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "label/label_format.h"
#include "os/os_layer.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

// What a read that begins with a trailer record turned out to be.
enum Verdict { kData = 0, kTrailer = 1, kFailed = -1 };

bool BeginsWithTrailer(const void *data, int64_t length) {
  return IsEovRecord(data, length) || IsEofRecord(data, length);
}

int32_t AtEndOfVolume(StripeHandle *h) {
  h->io_status = IO_AT_EOV;
  if (Traces(h, kTraceAnomaly)) TraceLine(h, "Stripe %d at EOV\n", h->stripe);
  return kEovRecordSize;
}

// The closing labels of the backup: its stream is over, and the labels
// must not be handed out as data.  The read fails as one at the end of a
// file does.
int32_t AtEndOfBackup(StripeHandle *h, int32_t length) {
  h->last_os_error = kErrorHandleEof;
  if (Traces(h, kTraceAnomaly))
    TraceLine(h, "Stripe %d ReadFile of %d failed LastErr %d\n", h->stripe,
              static_cast<int>(length), static_cast<int>(kErrorHandleEof));
  RaiseError(h, kErrRead, {h->devname, SystemText(kErrorHandleEof)});
  return -1;
}

// The trailer that `data` begins with ends the volume: the end-of-volume
// record, or the end of the backup.
int32_t AtTrailer(StripeHandle *h, const void *data, int32_t length) {
  return IsEovRecord(data, kTrailerSize) ? AtEndOfVolume(h)
                                         : AtEndOfBackup(h, length);
}

// --- Disk --------------------------------------------------------------------

int32_t ReadVolumeBytes(StripeHandle *h, void *data, int32_t length) {
  const int32_t r = ReadWithRetry(h, data, static_cast<uint32_t>(length));
  if (r > 0) {
    h->volume_read += static_cast<uint64_t>(r);
    DropVolumeCacheBefore(h, h->volume_read);
  }
  return r;
}

// Whether volume offset `at` is where the file's last kTrailerSize bytes
// begin, the one place a trailer record can lie.  The size is asked once
// per volume.
Verdict AtVolumeTail(StripeHandle *h, uint64_t at) {
  if (h->volume_size < 0) {
    uint64_t size = 0;
    uint32_t code = 0;
    if (!Os().GetFileSize(h->device_handle, &size, &code)) {
      h->last_os_error = code;
      RaiseError(h, kErrRead, {h->devname, SystemText(code)});
      return kFailed;
    }
    h->volume_size = static_cast<int64_t>(size);
  }
  return at + kTrailerSize == static_cast<uint64_t>(h->volume_size) ? kTrailer
                                                                     : kData;
}

}  // namespace

int32_t ReadDevice(StripeHandle *h, void *data, int32_t length) {
  if (h->media_type == MEDIA_TAPE) return ReadTapeDevice(h, data, length);
  return ReadDiskDevice(h, data, length);
}

int32_t ReadDiskDevice(StripeHandle *h, void *data, int32_t length) {
  uint8_t *out = static_cast<uint8_t *>(data);
  // Volume offset of the request's first byte.
  const uint64_t at = h->volume_read - static_cast<uint64_t>(h->readahead_len);
  if (h->readahead_len == 0) {
    const int32_t r = ReadVolumeBytes(h, out, length);
    // (io_status may still say IO_AT_EOV here while a switch reads the next
    // volume's labels, so the count alone decides.)
    if (r < 0) return r;
    const bool whole_record = r >= kEovProbeSize;
    if (whole_record ? !BeginsWithTrailer(out, r) : !CouldBeginTrailer(out, r))
      return r;
    const Verdict tail = AtVolumeTail(h, at);
    if (tail == kFailed) return -1;
    if (tail == kData) {
      if (whole_record) TraceReadData(h, r, static_cast<uint32_t>(length));
      return r;
    }
    if (whole_record) return AtTrailer(h, out, length);
    // Too few bytes to tell the trailer from data: keep them and look
    // further before handing anything out.
    std::memcpy(h->readahead, out, static_cast<size_t>(r));
    h->readahead_len = r;
  }
  if (h->readahead_len < kEovProbeSize &&
      CouldBeginTrailer(h->readahead, h->readahead_len)) {
    const Verdict tail = AtVolumeTail(h, at);
    if (tail == kFailed) return -1;
    if (tail == kTrailer) {
      const int32_t r =
          ReadVolumeBytes(h, h->readahead + h->readahead_len,
                          kEovProbeSize - h->readahead_len);
      if (r < 0) return r;
      h->readahead_len += r;
      if (IsEovRecord(h->readahead, h->readahead_len)) {
        h->readahead_len = 0;
        return AtEndOfVolume(h);
      }
    }
  }
  if (IsEofRecord(h->readahead, h->readahead_len)) {
    // Only ever looked at where the file's last bytes begin.  They stay
    // looked at, so every later read is refused too.
    return AtEndOfBackup(h, length);
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
  const int32_t r = ReadVolumeBytes(h, out + from_readahead,
                                    length - from_readahead);
  if (r < 0) return r;
  return from_readahead + r;
}

// --- Tape --------------------------------------------------------------------

namespace {

// One block into `dest`: the block read ahead when there is one, else the
// next one from the drive.
int32_t NextBlock(StripeHandle *h, uint8_t *dest) {
  if (h->staged_len > 0) {
    const int32_t n = h->staged_len;
    h->staged_len = 0;
    if (dest != h->block_buffer.get())
      std::memcpy(dest, h->block_buffer.get(), static_cast<size_t>(n));
    // Traced now, in its place in the stream, as a block read at this
    // point would have been.
    if (!BeginsWithTrailer(dest, n))
      TraceReadData(h, n, static_cast<uint32_t>(h->blocksize));
    return n;
  }
  return ReadWithRetry(h, dest, static_cast<uint32_t>(h->blocksize));
}

// What follows a block that begins like a trailer record: a file mark or
// the end of the recorded data (the close of a volume writes file marks
// after its trailer) makes it the trailer; a block makes it data, and that
// block is kept in block_buffer for the next transfer.  The block's own
// bytes must have been used before: block_buffer is overwritten.
// The look-ahead is the reader's own business and adds no trace line: the
// file mark at a real end of volume is expected, and a block read ahead is
// traced when it is taken.  Only a read that fails outright is traced, with
// the error it raises.
Verdict LookPastBlock(StripeHandle *h) {
  const uint32_t length = static_cast<uint32_t>(h->blocksize);
  const int32_t r = ReadAheadQuietly(h, h->block_buffer.get(), length);
  if (r > 0) {
    h->staged_len = r;
    return kData;
  }
  if (r == 0 || h->last_os_error == kErrorFilemarkDetected ||
      h->last_os_error == kErrorNoDataDetected)
    return kTrailer;
  TraceReadFailure(h, length);
  RaiseError(h, kErrRead, {h->devname, SystemText(h->last_os_error)});
  return kFailed;
}

// A block of `n` bytes in `block`, whose useful bytes the caller has taken
// already: kData (data, traced), or what the read returns at a trailer
// (160 at the end of the volume, -1 after the end of the backup or a
// failure).
int32_t SettleBlock(StripeHandle *h, const uint8_t *block, int32_t n,
                    bool *is_data) {
  *is_data = true;
  if (!BeginsWithTrailer(block, n)) return n;
  const bool eov = IsEovRecord(block, n);
  *is_data = false;
  switch (LookPastBlock(h)) {
    case kFailed:
      return -1;
    case kTrailer:
      return eov ? AtEndOfVolume(h) : AtEndOfBackup(h, h->blocksize);
    case kData:
      break;
  }
  *is_data = true;
  TraceReadData(h, n, static_cast<uint32_t>(h->blocksize));
  return n;
}

}  // namespace

int32_t ReadTapeDevice(StripeHandle *h, void *data, int32_t length) {
  const int32_t block = h->blocksize;
  uint8_t *out = static_cast<uint8_t *>(data);
  bool is_data = true;
  // A request of exactly one block goes straight into the caller's buffer.
  if (length == block) {
    const int32_t n = NextBlock(h, out);
    if (n < 0) return n;
    return SettleBlock(h, out, n, &is_data);
  }
  uint8_t *staging = h->block_buffer.get();
  int32_t wanted = length;
  do {
    const int32_t n = NextBlock(h, staging);
    if (n < 0) return n;
    const int32_t take = wanted < block ? wanted : block;
    // Taken before the block is settled, which may read the next block
    // into the staging buffer.
    if (take > 0 && n >= take)
      std::memcpy(out, staging, static_cast<size_t>(take));
    const int32_t settled = SettleBlock(h, staging, n, &is_data);
    if (!is_data || n < block) return settled;
    out += take;
    wanted -= take;
  } while (wanted > 0);
  return length;
}

}  // namespace kor
