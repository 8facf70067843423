// The waits of object transfers.  On a stripe's own thread a wait asks the
// host's cancellation probe every 50 ms; on an uploader or reader thread it
// ends as soon as its object is abandoned.
#ifndef KORBR_OS_OBJSTORE_TRANSFER_WAITS_H_
#define KORBR_OS_OBJSTORE_TRANSFER_WAITS_H_

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "os/objstore/s3_client.h"

namespace kor {

// For a client used on the stripe's thread: retries wait in steps,
// asking the probe; transfers stop when it says so.
RetryWait CallerRetryWait();
StopCheck CallerStopCheck();

// For a client of a worker thread: the wait ends early, and transfers
// stop, once `abandoned` is set (`changed` is notified when it is).
RetryWait WorkerRetryWait(std::mutex *mu, std::condition_variable *changed,
                          const std::atomic<bool> *abandoned);
StopCheck WorkerStopCheck(const std::atomic<bool> *abandoned);

}  // namespace kor

#endif  // KORBR_OS_OBJSTORE_TRANSFER_WAITS_H_
