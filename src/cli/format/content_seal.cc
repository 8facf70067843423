#include "cli/format/content_seal.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cli/format/stream_seals.h"

namespace kor {
namespace cli {

namespace {

// Reads until `length` bytes are in or the input ends; -1 on an error.
ssize_t ReadChunk(int fd, uint8_t *buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = read(fd, buffer + got, length - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// A batch of chunks: read together, hashed together.
struct Batch {
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<HashJob> jobs;
  size_t used = 0;
};

}  // namespace

bool ContentSealOf(int fd, uint32_t chunk_size, HashPool *pool,
                   Sha256Digest *seal, uint64_t *length, std::string *why) {
  // Two batches: one is read while the pool hashes the other.
  const size_t per_batch = 2 * static_cast<size_t>(pool->threads());
  Batch batches[2];
  for (Batch &b : batches) {
    b.buffers.assign(per_batch, std::vector<uint8_t>(chunk_size));
    b.jobs.resize(per_batch);
  }
  SealChain chain;
  uint64_t total = 0;
  bool ended = false;
  bool failed = false;
  auto collect = [&](Batch &b) {
    for (size_t i = 0; i < b.used; ++i) {
      pool->Wait(&b.jobs[i]);
      chain.Add(b.jobs[i].digest);
    }
    b.used = 0;
  };
  for (int current = 0; !ended; current = 1 - current) {
    Batch &b = batches[current];
    while (b.used < per_batch && !ended) {
      const ssize_t got = ReadChunk(fd, b.buffers[b.used].data(), chunk_size);
      if (got < 0) {
        *why = std::strerror(errno);
        failed = ended = true;
        break;
      }
      if (got == 0) {
        ended = true;
        break;
      }
      ended = static_cast<size_t>(got) < chunk_size;
      HashJob &job = b.jobs[b.used++];
      job.data = b.buffers[b.used - 1].data();
      job.length = static_cast<size_t>(got);
      pool->Submit(&job);
      total += static_cast<uint64_t>(got);
    }
    // The other batch was read first: its digests come first.
    collect(batches[1 - current]);
    if (ended) collect(b);
  }
  if (failed) return false;
  *length = total;
  *seal = chain.FinishContent(total, chunk_size);
  return true;
}

}  // namespace cli
}  // namespace kor
