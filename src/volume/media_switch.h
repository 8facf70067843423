// Moving a stripe to its next volume: the finished volume is closed (on a
// backup after its end-of-volume labels), the next one is had from the
// autoloader, from the operator or not at all, and opened with its labels.
#ifndef KORBR_VOLUME_MEDIA_SWITCH_H_
#define KORBR_VOLUME_MEDIA_SWITCH_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Highest volume number a serial can carry and parse back.
constexpr int32_t kMaxVolumeNumber = 9999;

// direction 1 backup, 0 restore.  1 when the next volume is open and
// ready (io_status back to IO_OK), 0 otherwise (error raised where one
// applies).
int32_t SwitchMedia(StripeHandle *h, int32_t direction);
int32_t ReopenTapeDevice(StripeHandle *h, int32_t direction);
int32_t ReopenDiskDevice(StripeHandle *h, int32_t direction);

// Tells an attended operator of a tape stripe without autoloader which
// volume is now in use (9235 backup, 9236 restore).
void AnnounceVolume(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_VOLUME_MEDIA_SWITCH_H_
