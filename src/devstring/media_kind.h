// Tape or disk, decided once from the normalised device name.
#ifndef KORBR_DEVSTRING_MEDIA_KIND_H_
#define KORBR_DEVSTRING_MEDIA_KIND_H_

#include "core/stripe_handle.h"

namespace kor {

// Sets media_type and media_name from devname: a name beginning with the
// three characters "\\." is a tape, any other a disk prefix.  Returns 0.
int32_t ClassifyMedia(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_DEVSTRING_MEDIA_KIND_H_
