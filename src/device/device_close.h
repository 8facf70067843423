// Ending the use of a volume: a disk file is closed; a tape may first get
// two file marks (when a backup goes on on another tape), is then rewound
// and unloaded unless KOR_DO_NOT_OFFL exists in the environment, and
// closed.
#ifndef KORBR_DEVICE_DEVICE_CLOSE_H_
#define KORBR_DEVICE_DEVICE_CLOSE_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Closes the current volume; `filemarks` nonzero writes two file marks on
// a tape first (a disk ignores it).  0 closed, -1 failed (error raised).
int32_t CloseDevice(StripeHandle *h, int32_t filemarks);

// The tape close: file marks when asked (a failure stops the close with the
// device still open), unload unless KOR_DO_NOT_OFFL (a failure is reported
// and the close goes on), then the handle.  With file marks asked for, a
// failed unload makes the result -1 although the handle is closed: the
// finished volume is still in the drive.
int32_t CloseTapeDevice(StripeHandle *h, int32_t filemarks);

// Two file marks at the tape's position.  0, or -1 after raising 6931.
int32_t WriteEofMarks(StripeHandle *h);

// Rewinds and unloads the cartridge.  0, or -1 after raising 6931.
int32_t RewindOffline(StripeHandle *h);

// Closes device_handle.  A disk backup volume is finished first
// (FinishDiskVolume) and, once closed, its directory entry flushed; a
// failure there fails the close (error raised) but the handle is released.
// An interrupted close is repeated, and a repeat that finds the handle
// already invalid counts as closed (the interrupted attempt did close it).
// 0 when closed or nothing was open; -1 after raising 6921 (device_handle
// unchanged when the close itself failed).
int32_t CloseDeviceFile(StripeHandle *h);

// As CloseDeviceFile, for a stripe the host abandons: the volume gets the
// same bytes, but is handed back as abandoned (AbandonFile), so that an
// object store never completes it.  CloseDeviceFile does the same for a
// backup volume it could not finish.
int32_t AbandonDeviceFile(StripeHandle *h);

// Writes out what the volume still carries and, unless KOR_NO_FLUSH,
// puts the file on stable storage; then makes sure the file still has a
// name.  0, or -1 after raising the error (the write's, or 6921 for a
// failed flush or a file removed while it was written).
int32_t FinishDiskVolume(StripeHandle *h);

// How often an interrupted close or transfer is repeated before it counts
// as failed: a device that is interrupted for good must not hang the host.
constexpr int kMaxInterruptedRepeats = 100;

}  // namespace kor

#endif  // KORBR_DEVICE_DEVICE_CLOSE_H_
