// The parts of a restore run, shared by restore_run.cc (its steps and its
// report) and restore_stages.cc (the threads it starts).  Only those two
// include this.
#ifndef KORBR_CLI_RESTORE_RUN_PARTS_H_
#define KORBR_CLI_RESTORE_RUN_PARTS_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/format/cipher.h"
#include "cli/format/hash_pool.h"
#include "cli/format/sha256.h"
#include "cli/format/stream_crypto.h"
#include "cli/format/stream_format.h"
#include "cli/format/stream_seals.h"
#include "cli/pipeline/block_queue.h"
#include "cli/pipeline/restore_output.h"
#include "cli/session/host_session.h"

namespace kor {
namespace cli {

// A stripe's thread makes its blocks once it knows the request size from
// the header; their number (BlocksPerStripe, at most kMaxBlocks) bounds the
// memory.
constexpr size_t kMaxBlocks = 32;

// The inflater's output buffers come from the codec's pool.
constexpr size_t kOutputSize = size_t{1} << 20;
constexpr size_t kOutputBlocks = 8;

struct RestoreStripe {
  explicit RestoreStripe(uint32_t i)
      : index(i), full(kMaxBlocks + 1), free(kMaxBlocks) {}
  uint32_t index;
  BlockQueue full;  // the header, then frames and the trailer, in order
  BlockQueue free;  // emptied blocks coming back
  std::thread thread;
  std::string error;  // the reason this stripe failed, "" if none
  // An encrypted stream: what the stripe's thread needs to check and
  // decrypt its frames (the cipher null while verifying without a key).
  bool encrypted = false;
  bool compressed = false;
  BackupId backup_id{};
  uint32_t stripe_count = 0;
  std::unique_ptr<PayloadCipher> cipher;
};

// How an encrypted backup is opened, once the main thread has read the
// headers: the stripes' threads wait for this before their first frame.
enum class KeyState { kPending, kOpened, kNoKey, kStopped };

class RestoreRun {
 public:
  RestoreRun(HostSession *session, Output *output, uint32_t stripes_given,
             const std::vector<std::string> &device_templates,
             const DecryptionKeys &keys)
      : session_(session),
        interrupts_(session->interrupts()),
        output_(output),
        stripes_given_(stripes_given),
        templates_(device_templates),
        checker_(stripes_given),
        keys_(keys) {}

  // True when the stream was verified and committed.
  bool Execute();

 private:
  void StartStripe(uint32_t index);
  // After the headers: the data key of an encrypted backup, or why not.
  bool OpenEncryption();
  void SetKeyState(KeyState state);
  // A stripe's thread, before its first frame of an encrypted stream: sets
  // up its checks and cipher.  False when the restore stops.
  bool PrepareDecryption(RestoreStripe *stripe, const StreamHeader &header);
  // The trailers' sealed block opened, for Finish.
  bool OpenTrailers();
  void StripeMain(RestoreStripe *stripe);
  bool ReadFrames(RestoreStripe *stripe, void *handle,
                  const StreamHeader &header, const std::string &devname);
  // Whether a frame just read is intact (version 3: `payload` is its
  // payload's SHA-256, which it keeps); if not, the stripe fails with the
  // reason and the volume file at `offset` in the stripe's requests.
  void GiveStripeBlocks(RestoreStripe *stripe, size_t blocks, uint32_t request);
  std::string ReadFailure(const RestoreStripe *stripe,
                          const StreamHeader &decoded,
                          const std::string &devname, uint64_t offset,
                          const std::string &library_text);
  bool FrameChecksOut(RestoreStripe *stripe, uint32_t version, Block *frame,
                      const Sha256Digest *payload, const std::string &devname,
                      uint64_t offset);
  // Version 3: the pool the stripes' threads share, made by the first that
  // asks, or null when there are at least as many stripes as processors.
  HashPool *VerifyPool(uint32_t stripe_count);
  void JoinStripes();
  bool ReportStripes();
  void ReportSuccess();
  void ReportFailure();
  void FailStripe(RestoreStripe *stripe, const std::string &reason);
  void AbortAll();
  bool ReadHeaders();
  bool ReadStream();
  void PrepareOutputBlocks(const StreamHeader &header, bool sealed);
  bool PassFrames(BlockQueue *accepted, bool sealed);
  bool ReadTrailers();
  bool FinishStream(bool sealed);
  void NameVolumeOf(uint32_t stripe, const Block &block);
  std::unique_ptr<Block> Next(uint32_t stripe);
  // " (volume file NAME)" for the request at `offset` of a disk stripe.
  std::string VolumeNote(uint32_t stripe, uint64_t offset);
  RestoreStripe *StripeAt(uint32_t stripe);
  // The stages after the checks, each in its own thread so that hashing,
  // writing the output and the stripes' reads overlap: the hasher takes
  // accepted frames in sequence order, the writer writes their payloads
  // and gives the blocks back to their stripes.
  void HashMain();
  void HashChunksMain();
  void InflateMain();
  void WriteMain();
  void GiveBack(std::vector<void *> *blocks);
  void GiveBack(std::unique_ptr<Block> block);
  void StageFailed(const std::string &reason);

  HostSession *session_;
  const InterruptSource &interrupts_;
  Output *output_;
  uint32_t stripes_given_;  // 0: learn it from stripe 0's header
  std::vector<std::string> templates_;
  StreamChecker checker_;
  std::vector<std::unique_ptr<RestoreStripe>> stripes_;
  std::mutex mutex_;
  std::string reason_;  // what the main thread found wrong, if anything
  bool compressed_ = false;    // the stream is zstd: inflate it first
  BlockQueue to_inflate_{16};  // accepted frames of a compressed stream
  BlockQueue free_outputs_{kOutputBlocks};  // the inflater's buffers
  BlockQueue to_hash_{16};                  // the stream as restored, in order
  BlockQueue to_write_{16};                 // hashed, in order
  Sha256Digest digest_{};  // version 3: the content seal
  SealChain content_chain_;  // version 3: the chunk digests, in order
  // Version 3 with fewer stripes than processors: the stripes' threads
  // have their frames hashed here, so that every core verifies.
  std::unique_ptr<HashPool> verify_pool_;
  uint64_t hashed_bytes_ = 0;
  bool inflated_all_ = false;  // the inflater reached the stream's end
  bool hashed_all_ = false;    // the hasher saw every block
  bool wrote_all_ = false;     // the writer wrote every block
  std::string stage_error_;    // why a stage after the checks stopped
  std::atomic<uint64_t> written_{0};
  const DecryptionKeys &keys_;
  DataKey data_key_;
  std::condition_variable key_changed_;
  KeyState key_state_ = KeyState::kPending;  // guarded by mutex_
  bool keyless_ = false;  // encrypted, verified without a key
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_RESTORE_RUN_PARTS_H_
