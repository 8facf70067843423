// The hashing stage that backup and restore pipelines run on a thread of
// its own: it takes the blocks of one queue in stream order, hashes their
// payloads and hands each block on to the next stage.
#ifndef KORBR_CLI_HASH_STAGE_H_
#define KORBR_CLI_HASH_STAGE_H_

#include <memory>
#include <utility>

#include "cli/pipeline/block_queue.h"
#include "cli/format/sha256.h"

namespace kor {
namespace cli {

// Hashes every block `in` yields until it is closed, passing each on with
// `pass(std::unique_ptr<Block>)`, which returns false once the next stage
// has stopped.  True, with the SHA-256 of all payloads in *digest, only
// when `in` was closed rather than aborted and every block went on.
template <typename Pass>
bool HashEveryBlock(BlockQueue *in, Pass pass, Sha256Digest *digest) {
  Sha256 sha;
  for (;;) {
    std::unique_ptr<Block> block = in->Pop();
    if (block == nullptr) break;
    sha.Update(block->bytes.data() + block->payload_offset,
               block->payload_length);
    if (!pass(std::move(block))) return false;
  }
  if (in->aborted()) return false;
  *digest = sha.Finish();
  return true;
}

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_HASH_STAGE_H_
