// The write side of the request loop: one whole request onto the media,
// switching volumes when the budget is used up and waiting for disk space
// when the disk is full.
#ifndef KORBR_DATAPATH_WRITE_PATH_H_
#define KORBR_DATAPATH_WRITE_PATH_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Puts one request on the media, switching volumes and waiting for disk
// space as needed.  0 when every byte is on the media, -1 after an error.
int32_t WriteRequest(StripeHandle *h, const void *data, int32_t length);

}  // namespace kor

#endif  // KORBR_DATAPATH_WRITE_PATH_H_
