// Keeping disk volumes out of the page cache.
//
// A backup runs beside a live database: every volume byte left in the
// cache after it reached the disk evicts a page the database reads all
// day, for a volume nobody reads until a restore.  So a disk stripe hands
// back, in whole kWritebackChunk pieces, what it has written (one piece
// behind the writing, whose writeback StartWriteback began a piece ago)
// or read, and the rest of the volume when it closes it.  A stripe thus
// keeps at most about three pieces (24 MiB) of its open volume cached.
// KOR_CACHE=keep (StripeHandle::keep_cache) turns all of it off.  Nothing
// here changes a byte of the volume or adds a trace line.
#ifndef KORBR_DEVICE_VOLUME_CACHE_H_
#define KORBR_DEVICE_VOLUME_CACHE_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Drops the whole pieces of the open volume file that lie before byte
// `end` and were not dropped yet.
void DropVolumeCacheBefore(StripeHandle *h, uint64_t end);

// Drops what is left of the open volume file: for its close, after the
// last write (and flush) or read.
void DropVolumeCacheRest(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_DEVICE_VOLUME_CACHE_H_
