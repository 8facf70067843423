// Block reads from the current volume: whole tape blocks reassembled into
// requests, and the byte stream of a volume file with the end-of-volume
// record recognised however the requests cut it.
#ifndef KORBR_DEVICE_BLOCK_READ_H_
#define KORBR_DEVICE_BLOCK_READ_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// One request from the current volume: bytes delivered (length on
// success); 160 with io_status IO_AT_EOV at the end-of-volume record;
// fewer at the end of the recorded data; negative after a reported error.
int32_t ReadDevice(StripeHandle *h, void *data, int32_t length);

// Every transfer one whole block; a short request keeps the front of one
// block, a long one spans blocks and drops the tail of the last.
int32_t ReadTapeDevice(StripeHandle *h, void *data, int32_t length);

// The byte stream of a volume file.  Requests that are too short to show
// the end-of-volume record by themselves look ahead (see readahead in the
// stripe handle) so that the labels are never returned as data.
int32_t ReadDiskDevice(StripeHandle *h, void *data, int32_t length);

}  // namespace kor

#endif  // KORBR_DEVICE_BLOCK_READ_H_
