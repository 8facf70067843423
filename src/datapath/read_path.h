// The read side of the request loop: whole requests from the current
// volume, following the backup across volumes at each end-of-volume record.
#ifndef KORBR_DATAPATH_READ_PATH_H_
#define KORBR_DATAPATH_READ_PATH_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Fills `data` with exactly `length` bytes of the stripe's stream,
// switching volumes at end-of-volume records.  0, or -1 after an error.
// A volume that ends without its end-of-volume record (truncated, or read
// past its trailer) is an error (6935), never a short success.
int32_t ReadRequest(StripeHandle *h, void *data, int32_t length);

}  // namespace kor

#endif  // KORBR_DATAPATH_READ_PATH_H_
