#include "datapath/write_path.h"

#include "device/block_write.h"
#include "diag/error_report.h"
#include "volume/media_switch.h"

namespace kor {

int32_t WriteRequest(StripeHandle *h, const void *data, int32_t length) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  // Bytes of this request already on the current volume: a disk that filled
  // up mid-request gets only the rest once space is back, so nothing is
  // written twice.  A volume switch starts the request again from its
  // first byte on the new volume.
  int32_t done = 0;
  int disk_full_rounds = 0;
  for (;;) {
    const int32_t n = WriteDevice(h, bytes + done, length - done, false);
    if (n < 0 || n > length - done) return -1;
    if (n > 0) disk_full_rounds = 0;
    done += n;
    if (done == length) return 0;
    switch (h->io_status) {
      case IO_CAPACITY_FULL:
        if (static_cast<uint64_t>(length) > h->fresh_spaceleft) {
          // Not even an empty volume could hold it: switching would only
          // use up volumes.
          RaiseError(h, kErrWrite,
                     {h->devname, "request larger than a volume can hold"});
          return -1;
        }
        if (SwitchMedia(h, kModeWrite) == 0) return -1;
        AnnounceVolume(h);
        done = 0;
        break;
      case IO_DISK_FULL:
        if (++disk_full_rounds > kMaxDiskFullRounds || WaitDiskSpace(h) == 0) {
          RaiseError(h, kErrDiskFull, {h->devname});
          return -1;
        }
        break;
      default:
        RaiseError(h, kErrWrite, {h->devname, "request written only in part"});
        return -1;
    }
  }
}

}  // namespace kor
