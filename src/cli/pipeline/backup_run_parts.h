// The parts of a backup run, shared by backup_run.cc (its steps and its
// report) and backup_stages.cc (the threads it starts).  Only those two
// include this.
#ifndef KORBR_CLI_BACKUP_RUN_PARTS_H_
#define KORBR_CLI_BACKUP_RUN_PARTS_H_

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/format/cipher.h"
#include "cli/format/sha256.h"
#include "cli/format/stream_crypto.h"
#include "cli/format/stream_format.h"
#include "cli/pipeline/backup_run.h"
#include "cli/pipeline/block_queue.h"
#include "cli/session/host_session.h"

namespace kor {
namespace cli {

// A fresh random identity for a backup.
BackupId NewBackupId();

struct BackupStripe {
  BackupStripe(uint32_t i, size_t blocks) : index(i), full(blocks), free(blocks) {}
  uint32_t index;
  BlockQueue full;  // frames (and finally the trailer) to write
  BlockQueue free;  // emptied blocks
  std::thread thread;
  std::string error;  // the reason this stripe failed, "" if none
  bool wrote_trailer = false;
  uint64_t requests = 0;  // requests written (header included)
  // Version 3, guarded by the run's mutex: the digests of the frames this
  // stripe wrote, in order (its j-th frame is frame j * count + index).
  std::vector<Sha256Digest> frame_digests;
  std::vector<Sha256Digest> payload_digests;
};

// Blocks that carry input to the compressor come from the codec's pool.
// Version 3 reads the input in the content seal's chunks instead.
constexpr size_t kChunkSize = size_t{1} << 20;
constexpr size_t kChunkBlocks = 8;

// The threads of a backup:
//   main        reads the input: into frames (each payload read in place),
//               or with compression into chunks;
//   korbr-hash  version 2: hashes the input in order (SHA-256, the
//               stream's seal) and passes frames to their stripes, or
//               chunks on to the compressor; version 3 (compressed only):
//               has a hash pool take each chunk's SHA-256 for the content
//               seal and passes the chunks on in order to
//   korbr-zstd  which compresses them straight into frames;
//   stripes     one per stripe, writing through the library; in version 3
//               each also takes its frames' SHA-256 digests.
class BackupRun {
 public:
  BackupRun(HostSession *session, const BackupPlan &plan)
      : session_(session),
        interrupts_(session->interrupts()),
        input_fd_(plan.input_fd),
        request_size_(plan.request_size),
        zstd_level_(plan.zstd_level),
        encoder_(NewBackupId(), plan.stripes, plan.request_size,
                 static_cast<uint64_t>(std::time(nullptr)), plan.dbname,
                 plan.zstd_level > 0 ? Compression::kZstd : Compression::kNone,
                 plan.format_version),
        chunk_size_(plan.format_version >= 3
                        ? ContentChunkSize(plan.request_size)
                        : kChunkSize),
        encryption_(plan.encryption) {
    const size_t blocks = BlocksPerStripe(plan.stripes, request_size_);
    to_hash_.SetBatch(HandOverBatch(blocks * plan.stripes));
    for (uint32_t s = 0; s < plan.stripes; ++s) {
      stripes_.push_back(std::make_unique<BackupStripe>(s, blocks));
      stripes_.back()->full.SetBatch(HandOverBatch(blocks));
      stripes_.back()->free.SetBatch(HandOverBatch(blocks));
      for (size_t b = 0; b < blocks; ++b) {
        stripes_.back()->free.Push(std::make_unique<Block>(request_size_));
      }
    }
    if (zstd_level_ > 0) {
      // Only the chunks pass the hasher then: a larger batch than they
      // allow would make every hand-over wait it out.
      to_hash_.SetBatch(HandOverBatch(kChunkBlocks));
      for (size_t b = 0; b < kChunkBlocks; ++b) {
        auto chunk = std::make_unique<Block>(chunk_size_);
        chunk->pool = BlockPool::kCodec;
        free_chunks_.Push(std::move(chunk));
      }
    }
  }

  // True when the backup is whole.
  bool Execute();

 private:
  // The steps of Execute, in order.
  bool SetUpEncryption();
  void StartStripes();
  bool AwaitEveryOpen();
  bool StreamInput();
  bool SendTrailers();
  bool ReportStripes();
  void ReportSuccess();
  void ReportIncomplete(bool all_open);

  void StripeMain(BackupStripe *stripe);
  bool WaitForGo(BackupStripe *stripe, void *handle, bool opened);
  void WriteStripe(BackupStripe *stripe, void *handle);
  void HashMain();
  void HashChunksMain();
  void CompressMain();
  // Version 3: the stripe's thread encrypts a frame's payload (with a
  // `cipher`), stamps its digest and records it.  False when the stripe
  // failed.
  bool StampFrame(BackupStripe *stripe, Block *frame, PayloadCipher *cipher);
  // Version 3, after the last frame: waits for every frame's digest and
  // gives the seals; false when a stripe failed first.
  bool AwaitSeals(Sha256Digest *content, Sha256Digest *stored);
  void FailStripe(BackupStripe *stripe, const std::string &reason);
  void Fail(const std::string &reason);
  void AbortAll();
  // The main thread's part: read, and frame or chunk.  False when it
  // stopped early (the reason is already recorded).
  bool DealInput();
  bool DealChunks();
  bool Deal(uint32_t stripe, std::unique_ptr<Block> block);
  std::unique_ptr<Block> TakeFree(uint32_t stripe);
  bool ReadFailed(ssize_t got);
  void WarnOfLeftovers();

  HostSession *session_;
  const InterruptSource &interrupts_;
  int input_fd_;
  uint32_t request_size_;
  int zstd_level_;  // 0: no compression
  StreamEncoder encoder_;
  size_t chunk_size_;  // of the blocks that carry input to the compressor
  const EncryptionKeys *encryption_;  // null: a plain backup
  DataKey data_key_;  // an encrypted backup's, once SetUpEncryption made it
  SealChain chunk_chain_;  // version 3, compressed: the chunks' digests
  std::vector<std::unique_ptr<BackupStripe>> stripes_;
  BlockQueue to_hash_{16};  // frames or chunks, in input order
  BlockQueue to_compress_{kChunkBlocks};
  BlockQueue free_chunks_{kChunkBlocks};
  Sha256Digest digest_{};
  std::atomic<uint64_t> input_bytes_{0};
  bool hashed_all_ = false;      // the hasher saw the whole input
  bool compressed_all_ = false;  // the compressor finished its stream

  std::mutex mutex_;
  std::condition_variable opened_;
  std::condition_variable stamped_;  // a stripe recorded a frame digest
  uint32_t open_results_ = 0;  // stripes whose kor_open has returned
  bool go_ = false;            // every stripe opened: write
  bool decided_ = false;       // go_ is final
  bool failed_ = false;        // some stripe failed
  std::string input_error_;
  std::string stage_error_;  // the compressor's reason
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_BACKUP_RUN_PARTS_H_
