#include "datapath/read_path.h"

#include "device/block_read.h"
#include "diag/error_report.h"
#include "volume/media_switch.h"

namespace kor {

int32_t ReadRequest(StripeHandle *h, void *data, int32_t length) {
  for (;;) {
    // A switch that failed before left the stripe at the end of a volume;
    // the host reading again asks for another try.
    if (h->io_status == IO_AT_EOV) {
      if (SwitchMedia(h, kModeRead) == 0) return -1;
      AnnounceVolume(h);
    }
    const int32_t n = ReadDevice(h, data, length);
    if (n < 0) return -1;
    // The end-of-volume record, whatever the request's size: its labels
    // are never handed out as data.  The whole request is read again from
    // the next volume, where the backup wrote it whole.
    if (h->io_status == IO_AT_EOV) continue;
    if (n == length) return 0;
    RaiseError(h, kErrRead,
               {h->devname, n == 0 ? "end of volume data without an "
                                     "end-of-volume label"
                                   : "volume data ends inside a request"});
    return -1;
  }
}

}  // namespace kor
