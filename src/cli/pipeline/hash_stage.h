// The hashing stages that backup and restore pipelines run on a thread of
// their own: they take the blocks of one queue in stream order, hash their
// payloads and hand each block on to the next stage.  Streams of version 1
// and 2 are hashed in one sequential SHA-256; version 3 hashes each block
// by itself, on a pool of threads, for the content seal.
#ifndef KORBR_CLI_HASH_STAGE_H_
#define KORBR_CLI_HASH_STAGE_H_

#include <algorithm>
#include <deque>
#include <memory>
#include <utility>

#include "cli/format/hash_pool.h"
#include "cli/format/sha256.h"
#include "cli/format/stream_seals.h"
#include "cli/pipeline/block_queue.h"

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

// Hashes the blocks `in` yields on a pool of threads, a few at a time, and
// passes each on with `pass` in the order they came, once its digest is in
// and added to `chain`.  `blocks` is how many blocks circulate through `in`:
// at most half of them are held back here, so that whoever fills `in`
// always gets blocks back, however many processors hash.  True when `in`
// was closed rather than aborted and every block went on.
template <typename Pass>
bool HashEveryBlockInPool(BlockQueue *in, size_t blocks, Pass pass,
                          SealChain *chain) {
  HashPool pool(0);
  const size_t most = std::max<size_t>(
      1, std::min<size_t>(pool.threads(), blocks / 2));
  struct InFlight {
    std::unique_ptr<Block> block;
    std::unique_ptr<HashJob> job;
  };
  std::deque<InFlight> in_flight;
  auto pass_oldest = [&]() {
    InFlight oldest = std::move(in_flight.front());
    in_flight.pop_front();
    pool.Wait(oldest.job.get());
    chain->Add(oldest.job->digest);
    return pass(std::move(oldest.block));
  };
  bool ok = true;
  for (;;) {
    std::unique_ptr<Block> block = in->Pop();
    if (block == nullptr) break;
    InFlight next;
    next.job = std::make_unique<HashJob>();
    next.job->data = block->bytes.data() + block->payload_offset;
    next.job->length = block->payload_length;
    next.block = std::move(block);
    pool.Submit(next.job.get());
    in_flight.push_back(std::move(next));
    if (in_flight.size() >= most && !(ok = pass_oldest())) break;
  }
  while (ok && !in_flight.empty()) ok = pass_oldest();
  // The pool's jobs finish before their blocks go away.
  for (auto &f : in_flight) pool.Wait(f.job.get());
  return ok && !in->aborted();
}

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_HASH_STAGE_H_
