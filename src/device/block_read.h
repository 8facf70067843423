// Block reads from the current volume: whole tape blocks reassembled into
// requests, and the byte stream of a volume file.
//
// A backup's data may hold anything, also bytes that begin like the
// trailer records (EOV1+EOV2 ends a volume, EOF1+EOF2 the backup).  Such
// bytes end the volume only where the volume really ends: on disk where
// the file's last 160 bytes begin (its size says where), on tape where a
// file mark or the end of the recorded data follows the block, as the
// close of every backup volume leaves it.  Anything else is data and is
// handed out whole.
#ifndef KORBR_DEVICE_BLOCK_READ_H_
#define KORBR_DEVICE_BLOCK_READ_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// One request from the current volume: bytes delivered (length on
// success); 160 with io_status IO_AT_EOV at the end-of-volume record;
// fewer at the end of the recorded data; negative after a reported error
// (6935; at the closing labels of the backup, with the text of 38,
// end of file).
int32_t ReadDevice(StripeHandle *h, void *data, int32_t length);

// Every transfer one whole block; a short request keeps the front of one
// block, a long one spans blocks and drops the tail of the last.  A block
// that begins like a trailer record has the next block read into
// block_buffer to see whether a file mark follows; a data block read so is
// kept there for the next transfer.
int32_t ReadTapeDevice(StripeHandle *h, void *data, int32_t length);

// The byte stream of a volume file.  A request too short to show a whole
// trailer record looks ahead (readahead in the stripe handle) where the
// file's last 160 bytes begin, so that the labels are never returned as
// data.
int32_t ReadDiskDevice(StripeHandle *h, void *data, int32_t length);


}  // namespace kor

#endif  // KORBR_DEVICE_BLOCK_READ_H_
