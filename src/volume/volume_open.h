// Opening a volume with its labels: a backup volume gets VOL1, HDR1 and
// HDR2 written; a restore volume has them read back and its serial checked
// against the stripe and the expected volume number.  Also the trailer
// writers (EOV1+EOV2 before a switch, EOF1+EOF2 at the end of a backup).
#ifndef KORBR_VOLUME_VOLUME_OPEN_H_
#define KORBR_VOLUME_VOLUME_OPEN_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Opens the current volume (volume_number) for `mode`, counting it against
// the autoloader.  0 or more on success; negative after raising an error.
// A restore that finds a volume out of sequence closes it and, attended,
// asks the operator for the right one and tries again (on disk after an
// interruptible wait of some seconds, as a tape drive's open waits), until
// the right volume comes or the host cancels.
int32_t OpenDevice(StripeHandle *h, int32_t mode);

// VOL1, HDR1, HDR2 in three transfers.  The last transfer's result, or a
// negative value with io_status IO_LABEL_ERROR.
int32_t WriteHdrLabels(StripeHandle *h);

// Reads and checks the three header labels.  0, or a negative value: the
// read failed (io_status unchanged) or io_status tells what was wrong.
int32_t ReadHdrLabels(StripeHandle *h);

// The 160-byte trailer units; the transfer's result.
int32_t WriteEovLabels(StripeHandle *h);
int32_t WriteEofLabels(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_VOLUME_VOLUME_OPEN_H_
