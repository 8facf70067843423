// Tape or disk, from the form of the normalised device name.
#include "devstring/media_kind.h"

#include <cstring>

#include "os/path_rules.h"

namespace kor {

int32_t ClassifyMedia(StripeHandle *h) {
  const bool tape = IsTapeName(h->devname);
  h->media_type = tape ? MEDIA_TAPE : MEDIA_DISK;
  std::memset(h->media_name, 0, sizeof h->media_name);
  std::strcpy(h->media_name, tape ? "Tape" : "Disk");
  return 0;
}

}  // namespace kor
