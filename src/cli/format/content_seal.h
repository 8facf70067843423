// The content seal of any input, as a version-3 backup of it records: the
// input is cut into chunks of ContentChunkSize(request size) bytes, each
// hashed on a pool of threads while the next are read, so that a dump can
// be matched against a backup without restoring it at the speed of every
// core rather than one.
#ifndef KORBR_CLI_CONTENT_SEAL_H_
#define KORBR_CLI_CONTENT_SEAL_H_

#include <cstdint>
#include <string>

#include "cli/format/hash_pool.h"
#include "cli/format/sha256.h"

namespace kor {
namespace cli {

// Reads `fd` to its end (not closed) and gives its content seal and length
// for chunks of `chunk_size` bytes, hashed on `pool`.  False with the
// reason (errno's text) when a read fails.
bool ContentSealOf(int fd, uint32_t chunk_size, HashPool *pool,
                   Sha256Digest *seal, uint64_t *length, std::string *why);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_CONTENT_SEAL_H_
