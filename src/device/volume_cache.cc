#include "device/volume_cache.h"

#include "device/disk_carry.h"
#include "os/os_layer.h"

namespace kor {

void DropVolumeCacheBefore(StripeHandle *h, uint64_t end) {
  if (h->keep_cache || h->media_type != MEDIA_DISK) return;
  const uint64_t upto = end / kWritebackChunk * kWritebackChunk;
  if (upto <= h->cache_dropped) return;
  Os().DropFromCache(h->device_handle, h->cache_dropped,
                     upto - h->cache_dropped);
  h->cache_dropped = upto;
}

void DropVolumeCacheRest(StripeHandle *h) {
  if (h->keep_cache || h->media_type != MEDIA_DISK) return;
  Os().DropFromCache(h->device_handle, h->cache_dropped, 0);
}

}  // namespace kor
