// The read side: whole requests from the current volume, following the
// backup across volumes at each end-of-volume record.
#ifndef KORBR_DATAPATH_READ_PATH_H_
#define KORBR_DATAPATH_READ_PATH_H_

#include <cstdint>

#include "api/stripe_handle.h"

namespace kor {

// Fills `data` with exactly `length` bytes of the stripe's stream,
// switching volumes at end-of-volume records.  0, or -1 after an error.
// A volume that ends without its end-of-volume record (truncated, or read
// past its trailer) is an error (6935), never a short success.
int32_t ReadRequest(StripeHandle *h, void *data, int32_t length);

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

#endif  // KORBR_DATAPATH_READ_PATH_H_
