// korbr restore.
#include "cli/commands/restore_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/options/arg_parser.h"
#include "cli/pipeline/block_queue.h"
#include "cli/commands/command_common.h"
#include "cli/options/device_list.h"
#include "cli/pipeline/hash_stage.h"
#include "cli/session/host_session.h"
#include "cli/pipeline/piece_writer.h"
#include "cli/format/printable_text.h"
#include "cli/format/sha256.h"
#include "cli/format/stream_format.h"
#include "cli/format/volume_locator.h"
#include "cli/format/zstd_codec.h"
#include "korbr/korbr.h"

namespace kor {
namespace cli {
namespace {

const std::vector<OptionSpec> &RestoreOptions() {
  static const std::vector<OptionSpec> specs = {
      kDeviceOption,
      {"stripes", 's', true, false, "N",
       "number of stripes, 1 to 32 (default: what the backup recorded, or "
       "one per --device)"},
      kQuietOption,
      kTraceOption,
      kTraceFileOption,
      kWaitTimeoutOption,
      {"help", 'h', false, false, nullptr, "show this help and exit"},
  };
  return specs;
}

void PrintVerifyHelp() {
  std::printf(
      "Usage: korbr verify --device DEVSTRING [OPTIONS]\n"
      "\n"
      "Reads every stripe of a backup made by 'korbr backup' and checks it\n"
      "as a restore would: the volume labels, every frame's checksum, stripe\n"
      "and sequence, the decompression of a compressed backup, and the\n"
      "stream's length and SHA-256.  Nothing is written.  Exit status 0\n"
      "means a restore would succeed; otherwise the first problem found is\n"
      "named with its stripe, volume file and frame.\n"
      "\n"
      "Options:\n%s"
      "\n"
      "Example:\n"
      "  korbr verify --device 'devname=/backups/sales.s{stripe};dbtype=ZDBn'\n"
      "\n"
      "Exit status: 0 the backup is whole, 1 it is not (or cannot be read),\n"
      "2 usage error.\n",
      OptionsHelp(RestoreOptions()).c_str());
}

void PrintRestoreHelp() {
  std::printf(
      "Usage: korbr restore --device DEVSTRING [OPTIONS] [OUTPUT|-]\n"
      "\n"
      "Restores a backup made by 'korbr backup' from the archive devices of\n"
      "its stripes and writes the exact stream to OUTPUT (standard output\n"
      "when OUTPUT is \"-\" or absent).  Every frame is checked against its\n"
      "stripe and sequence, and the whole stream against the length and\n"
      "SHA-256 the backup recorded.  On any failure the command exits 1 and\n"
      "OUTPUT is not left behind; on standard output it says the data is\n"
      "incomplete.\n"
      "\n"
      "Options:\n%s"
      "\n"
      "Examples:\n"
      "  korbr restore --device "
      "'devname=/backups/sales.s{stripe};dbtype=ZDBn' sales.dump\n"
      "  korbr restore --device "
      "'devname=/backups/sales.s{stripe};dbtype=ZDBn' - | psql sales\n"
      "\n"
      "Exit status: 0 success, 1 failure, 2 usage error.\n",
      OptionsHelp(RestoreOptions()).c_str());
}

std::string BufferText(const MessageBuffer &msg) {
  if (msg.length <= 0) return "the library gave no reason";
  return std::string(msg.text, strnlen(msg.text, sizeof msg.text));
}

// Whether the restore may skip the flushes to stable storage (KOR_NO_FLUSH,
// for tests and benchmarks, as the library reads it).
bool FlushesSkipped() { return std::getenv("KOR_NO_FLUSH") != nullptr; }

// Whether fsync means anything for what `fd` is: a regular file or a block
// device keeps its bytes on a medium, while a pipe, a socket or a character
// device (/dev/null, a terminal) has nothing to flush and refuses it with
// EINVAL.
bool HoldsBytesOnMedium(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

// The directory whose entry names `path`.
std::string DirectoryOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the entries of the directory holding `path` durable: a name
// created, or replaced by a rename, is only on the medium once its
// directory is.  False with *error set.
bool SyncDirectoryOf(const std::string &path, std::string *error) {
  if (FlushesSkipped()) return true;
  const std::string directory = DirectoryOf(path);
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open the directory " + directory + " to sync it: " +
             std::strerror(errno);
    return false;
  }
  // A file system that cannot sync a directory says EINVAL: its entries
  // are as durable as it makes them, and nothing more can be done.
  const bool ok = fsync(fd) == 0 || errno == EINVAL;
  const int saved = errno;
  close(fd);
  if (!ok) {
    *error = "syncing the directory " + directory + " failed: " +
             std::strerror(saved);
  }
  return ok;
}

// Where the restored stream goes.  A regular file is written under a
// temporary name beside it and renamed into place only when the stream
// has been verified, so a failed restore never leaves a partial file (nor
// harms an existing one).  mkstemp makes the temporary file with O_EXCL, so
// nothing planted at its name (a link) is ever written through, and it
// holds the database from its first byte: it gets the backup file mode.
struct Output {
  std::string path;       // as given; "-" for standard output
  std::string temporary;  // the name written to, "" when written directly
  uint32_t mode = 0600;   // of the file written
  int fd = -1;
  bool to_stdout = false;
  bool direct = false;       // a device or a pipe, written in place
  bool verify_only = false;  // korbr verify: nothing is written
  bool renamed = false;      // the verified file is in place under `path`

  // Before the session starts.  False with a reason.
  bool Open(std::string *error) {
    if (verify_only) return true;
    if (path == "-") {
      to_stdout = true;
      return true;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        *error = path + " is a directory";
        return false;
      }
      if (!S_ISREG(st.st_mode)) {  // a device or a pipe: write directly
        direct = true;
        fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
          *error = "cannot open " + path + ": " + std::strerror(errno);
          return false;
        }
        return true;
      }
    }
    std::vector<char> name(path.begin(), path.end());
    const char suffix[] = ".korbr-XXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);  // with NUL
    fd = mkstemp(name.data());
    if (fd < 0) {
      *error =
          "cannot create a file beside " + path + ": " + std::strerror(errno);
      return false;
    }
    temporary = name.data();
    HostSession::SetPartialOutputPath(temporary);
    if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
      *error = "cannot set the mode of " + temporary + ": " +
               std::strerror(errno);
      Discard();
      return false;
    }
    if (!SyncDirectoryOf(temporary, error)) {
      Discard();
      return false;
    }
    return true;
  }

  // After the stream was verified.  A pipe or a device that took every
  // byte is done; a file is flushed, renamed into place and its directory
  // synced, so that "restored" survives a power cut.
  bool Commit(std::string *error) {
    if (to_stdout || verify_only) return true;
    // The restored file is on the medium before its name says it is whole;
    // a crash must not leave a complete-looking name on missing data.
    if (!FlushesSkipped() && HoldsBytesOnMedium(fd) && fsync(fd) != 0) {
      *error = "writing " + path + " failed: " + std::strerror(errno);
      Discard();
      return false;
    }
    if (close(fd) != 0) {
      fd = -1;
      *error = "writing " + path + " failed: " + std::strerror(errno);
      return false;
    }
    fd = -1;
    if (temporary.empty()) return true;
    if (rename(temporary.c_str(), path.c_str()) != 0) {
      *error = "cannot rename " + temporary + " to " + path + ": " +
               std::strerror(errno);
      return false;
    }
    temporary.clear();
    HostSession::ClearPartialOutputPath();
    renamed = true;
    if (!SyncDirectoryOf(path, error)) {
      *error = path + " holds the verified stream, but a crash may still "
               "lose it: " + *error;
      return false;
    }
    return true;
  }

  // After a failure: nothing partial stays behind.
  void Discard() {
    if (to_stdout || verify_only) return;
    if (fd >= 0) close(fd);
    fd = -1;
    if (!temporary.empty()) unlink(temporary.c_str());
    HostSession::ClearPartialOutputPath();
  }
};

// A stripe's thread makes its blocks once it knows the request size from
// the header; their number (BlocksPerStripe, at most kMaxBlocks) bounds the
// memory.
constexpr size_t kMaxBlocks = 32;

// The inflater's output buffers come from the codec's pool.
constexpr size_t kOutputSize = size_t{1} << 20;
constexpr size_t kOutputBlocks = 8;

struct Stripe {
  explicit Stripe(uint32_t i)
      : index(i), full(kMaxBlocks + 1), free(kMaxBlocks) {}
  uint32_t index;
  BlockQueue full;  // the header, then frames and the trailer, in order
  BlockQueue free;  // emptied blocks coming back
  std::thread thread;
  std::string error;  // the reason this stripe failed, "" if none
};

class RestoreRun {
 public:
  RestoreRun(HostSession *session, Output *output, uint32_t stripes_given,
             const std::vector<std::string> &device_templates)
      : session_(session),
        output_(output),
        stripes_given_(stripes_given),
        templates_(device_templates),
        checker_(stripes_given) {}

  int Execute();

 private:
  void StartStripe(uint32_t index);
  void StripeMain(Stripe *stripe);
  void FailStripe(Stripe *stripe, const std::string &reason);
  void AbortAll();
  bool ReadHeaders();
  bool ReadStream();
  std::unique_ptr<Block> Next(uint32_t stripe);
  Stripe *StripeAt(uint32_t stripe);
  // The stages after the checks, each in its own thread so that hashing,
  // writing the output and the stripes' reads overlap: the hasher takes
  // accepted frames in sequence order, the writer writes their payloads
  // and gives the blocks back to their stripes.
  void HashMain();
  void InflateMain();
  void WriteMain();
  void GiveBack(std::vector<void *> *blocks);
  void GiveBack(std::unique_ptr<Block> block);
  void StageFailed(const std::string &reason);

  HostSession *session_;
  Output *output_;
  uint32_t stripes_given_;  // 0: learn it from stripe 0's header
  std::vector<std::string> templates_;
  StreamChecker checker_;
  std::vector<std::unique_ptr<Stripe>> stripes_;
  std::mutex mutex_;
  std::string reason_;  // what the main thread found wrong, if anything
  bool compressed_ = false;    // the stream is zstd: inflate it first
  BlockQueue to_inflate_{16};  // accepted frames of a compressed stream
  BlockQueue free_outputs_{kOutputBlocks};  // the inflater's buffers
  BlockQueue to_hash_{16};                  // the stream as restored, in order
  BlockQueue to_write_{16};                 // hashed, in order
  Sha256Digest digest_{};
  uint64_t hashed_bytes_ = 0;
  bool inflated_all_ = false;  // the inflater reached the stream's end
  bool hashed_all_ = false;    // the hasher saw every block
  bool wrote_all_ = false;     // the writer wrote every block
  std::string stage_error_;    // why a stage after the checks stopped
  std::atomic<uint64_t> written_{0};
};

void RestoreRun::AbortAll() {
  to_inflate_.Abort();
  free_outputs_.Abort();
  to_hash_.Abort();
  to_write_.Abort();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &s : stripes_) {
    s->full.Abort();
    s->free.Abort();
  }
}

void RestoreRun::StageFailed(const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stage_error_.empty()) stage_error_ = reason;
  }
  AbortAll();
}

void RestoreRun::FailStripe(Stripe *stripe, const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stripe->error = reason;
  }
  AbortAll();
}

void RestoreRun::StartStripe(uint32_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  stripes_.push_back(std::make_unique<Stripe>(index));
  Stripe *stripe = stripes_.back().get();
  stripe->thread = std::thread([this, stripe] { StripeMain(stripe); });
}

void RestoreRun::StripeMain(Stripe *stripe) {
  HostSession::BlockInterruptsInThisThread("korbr-stripe" +
                                           std::to_string(stripe->index));
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *handle = WatchedOpen(session_, stripe->index, session_->params(),
                             KOR_MODE_READ, &msg);
  if (handle == nullptr) {
    FailStripe(stripe, "cannot open: " + BufferText(msg));
    stripe->full.Close();
    return;
  }
  // Read before the header goes to the main thread, which may then give
  // the session the device strings of every stripe.
  const std::string devname =
      DevnameOf(session_->params()->archdev[stripe->index]);
  bool failed = false;
  auto header = std::make_unique<Block>(kHeaderRequestSize);
  std::memset(&msg, 0, sizeof msg);
  if (WatchedRead(session_, stripe->index, handle, header->bytes.data(),
                  kHeaderRequestSize, &msg) != 0) {
    FailStripe(stripe, "reading the stream header failed: " + BufferText(msg));
    failed = true;
  }
  StreamHeader decoded;
  std::string ignored;
  // A header this stripe cannot read goes to the main thread all the same,
  // which reports it; nothing more is read.
  const bool readable =
      !failed && DecodeHeader(header->bytes.data(), kHeaderRequestSize,
                              &decoded, &ignored);
  if (!failed && stripe->full.Push(std::move(header)) && readable) {
    const uint32_t request = decoded.request_size;
    const size_t blocks = BlocksPerStripe(decoded.stripe_count, request);
    for (size_t b = 0; b < blocks; ++b) {
      stripe->free.Push(std::make_unique<Block>(request));
    }
    stripe->free.SetBatch(HandOverBatch(blocks));
    stripe->full.SetBatch(HandOverBatch(blocks));
    // Where the next request begins in the stripe's request stream.
    uint64_t offset = kHeaderRequestSize;
    auto where = [&]() {
      const std::string volume = DiskVolumeAt(devname, offset);
      return volume.empty() ? std::string() : " (volume file " + volume + ")";
    };
    // The library reports every failed read alike (an I/O error, an
    // object store that would not answer, data that ends early), so its
    // reason text is the cause.  Only a volume file korbr itself finds
    // without its closing labels says that the backup stopped short.
    auto read_failure = [&]() {
      const std::string volume = DiskVolumeAt(devname, offset);
      std::string reason = BufferText(msg);
      if (volume.empty()) return reason;
      reason += " (volume file " + volume + ")";
      if (VolumeCutShort(volume)) {
        reason += "; the volume file ends without its closing labels: the "
                  "backup is incomplete, or the volume is damaged";
      }
      return reason;
    };
    for (;;) {
      if (HostSession::Interrupted()) break;
      std::unique_ptr<Block> block = stripe->free.Pop();
      if (block == nullptr) break;
      std::memset(&msg, 0, sizeof msg);
      if (WatchedRead(session_, stripe->index, handle, block->bytes.data(),
                      static_cast<int32_t>(request), &msg) != 0) {
        FailStripe(stripe, read_failure());
        failed = true;
        break;
      }
      // A damaged frame stops here, before any of it is handed on.
      std::string damage;
      if (!FrameIntact(decoded.version, block->bytes.data(),
                       block->bytes.size(), &damage)) {
        FailStripe(stripe, damage + where() + "; nothing of it was restored");
        failed = true;
        break;
      }
      offset += request;
      const RequestKind kind =
          ClassifyRequest(block->bytes.data(), block->bytes.size());
      if (!stripe->full.Push(std::move(block))) break;
      if (kind != RequestKind::kFrame) break;  // the trailer, or damage
    }
  }
  std::memset(&msg, 0, sizeof msg);
  if (WatchedClose(session_, stripe->index, handle, KOR_CLOSE_NORMAL, &msg) !=
          0 &&
      !failed) {
    FailStripe(stripe, "closing failed: " + BufferText(msg));
  }
  stripe->full.Close();
}

Stripe *RestoreRun::StripeAt(uint32_t stripe) {
  std::lock_guard<std::mutex> lock(mutex_);
  return stripes_[stripe].get();
}

std::unique_ptr<Block> RestoreRun::Next(uint32_t stripe) {
  return StripeAt(stripe)->full.Pop();
}

void RestoreRun::HashMain() {
  HostSession::BlockInterruptsInThisThread("korbr-hash");
  hashed_all_ = HashEveryBlock(
      &to_hash_,
      [this](std::unique_ptr<Block> block) {
        hashed_bytes_ += block->payload_length;
        return to_write_.Push(std::move(block));
      },
      &digest_);
  if (hashed_all_) to_write_.Close();
}

void RestoreRun::InflateMain() {
  HostSession::BlockInterruptsInThisThread("korbr-zstd");
  ZstdDecompressor zstd;
  std::string why;
  std::unique_ptr<Block> output;
  CodecBuffer out;
  auto take_output = [&]() -> bool {
    output = free_outputs_.Pop();
    if (output == nullptr) return false;
    output->payload_offset = 0;
    out.data = output->bytes.data();
    out.size = output->bytes.size();
    out.pos = 0;
    return true;
  };
  auto pass_on = [&]() -> bool {
    output->payload_length = static_cast<uint32_t>(out.pos);
    return to_hash_.Push(std::move(output)) && take_output();
  };
  if (!take_output()) return;
  for (;;) {
    std::unique_ptr<Block> frame = to_inflate_.Pop();
    if (frame == nullptr) break;
    CodecBuffer in;
    in.data = frame->bytes.data() + frame->payload_offset;
    in.size = frame->payload_length;
    // Until the frame is used up and zstd holds nothing back (it filled
    // the output buffer last time).
    while (in.pos < in.size || out.pos == out.size) {
      if (out.pos == out.size && !pass_on()) return;
      if (!zstd.Decompress(&in, &out, &why)) {
        StageFailed(why + " (the backup is damaged)");
        return;
      }
      if (in.pos == in.size && out.pos < out.size) break;
    }
    GiveBack(std::move(frame));
  }
  if (to_inflate_.aborted()) return;
  if (!zstd.AtFrameEnd()) {
    StageFailed(
        "the stored stream ends inside its compressed data (the backup is "
        "damaged)");
    return;
  }
  if (out.pos > 0) {
    if (!pass_on()) return;
  }
  inflated_all_ = true;
  to_hash_.Close();
}

void RestoreRun::GiveBack(std::vector<void *> *blocks) {
  for (void *owner : *blocks) {
    GiveBack(std::unique_ptr<Block>(static_cast<Block *>(owner)));
  }
  blocks->clear();
}

void RestoreRun::GiveBack(std::unique_ptr<Block> block) {
  if (block->pool == BlockPool::kCodec) {
    free_outputs_.Push(std::move(block));
    return;
  }
  const uint32_t stripe = block->stripe;
  StripeAt(stripe)->free.Push(std::move(block));
}

void RestoreRun::WriteMain() {
  HostSession::BlockInterruptsInThisThread("korbr-write");
  const int fd = output_->to_stdout ? session_->data_fd() : output_->fd;
  // A regular file being made (not a device or a pipe) gets page-aligned
  // writes.
  PieceWriter writer(fd, !output_->to_stdout && !output_->direct);
  std::vector<void *> done;
  bool ok = true;
  for (;;) {
    std::unique_ptr<Block> block = to_write_.Pop();
    if (block == nullptr) break;
    if (HostSession::Interrupted()) {
      // Ctrl-C: nothing more goes out, even what is already checked.
      GiveBack(std::move(block));
      AbortAll();
      break;
    }
    const uint32_t length = block->payload_length;
    if (output_->verify_only) {
      GiveBack(std::move(block));
      written_ += length;
      session_->AddBytes(length);
      continue;
    }
    Piece piece;
    piece.data = block->bytes.data() + block->payload_offset;
    piece.length = length;
    piece.owner = block.release();
    ok = writer.Add(piece, &done);
    GiveBack(&done);
    if (!ok) break;
    written_ += length;
    session_->AddBytes(length);
  }
  if (ok && !to_write_.aborted()) ok = writer.Flush(&done);
  GiveBack(&done);
  if (!ok) {
    const int error = errno;
    StageFailed(
        "writing " +
        std::string(output_->to_stdout ? "standard output" : output_->path) +
        " failed: " + std::strerror(error));
  } else {
    wrote_all_ = !to_write_.aborted();
  }
  // Blocks still held go away with the writer; nobody waits for them now.
  std::vector<void *> pending;
  writer.TakePending(&pending);
  for (void *owner : pending) delete static_cast<Block *>(owner);
}

bool RestoreRun::ReadHeaders() {
  uint32_t count = stripes_given_;
  if (count == 0) {
    StartStripe(0);
  } else {
    for (uint32_t s = 0; s < count; ++s) StartStripe(s);
  }
  for (uint32_t s = 0; s < count || (count == 0 && s == 0); ++s) {
    std::unique_ptr<Block> block = Next(s);
    if (block == nullptr) return false;  // the stripe said why
    if (!checker_.AcceptHeader(s, block->bytes.data(), block->bytes.size(),
                               &reason_)) {
      return false;
    }
    if (count == 0) {
      // Stripe 0 told how many stripes the backup has.
      count = checker_.stripe_count();
      std::vector<std::string> devices;
      std::string error;
      if (!ExpandDevices(templates_, count, &devices, &error)) {
        reason_ =
            "the backup has " + std::to_string(count) + " stripes: " + error;
        return false;
      }
      session_->SetDevices(devices, checker_.header().dbname);
      session_->StartProgress(count);
      for (uint32_t other = 1; other < count; ++other) StartStripe(other);
    }
  }
  const StreamHeader &h = checker_.header();
  char text[256];
  std::snprintf(text, sizeof text,
                "restoring backup %s of '%s' from %u stripe%s (requests of "
                "%u bytes)",
                BackupIdHex(h.backup_id).c_str(),
                PrintableText(h.dbname).c_str(),
                h.stripe_count, h.stripe_count == 1 ? "" : "s", h.request_size);
  session_->Note(text);
  const size_t blocks = BlocksPerStripe(h.stripe_count, h.request_size);
  to_hash_.SetBatch(HandOverBatch(blocks * h.stripe_count));
  to_write_.SetBatch(HandOverBatch(blocks * h.stripe_count));
  return true;
}

bool RestoreRun::ReadStream() {
  compressed_ = checker_.header().compression == Compression::kZstd;
  if (compressed_) {
    // Past the inflater only its few output buffers circulate: a larger
    // batch than they allow would make every hand-over wait it out.
    to_hash_.SetBatch(HandOverBatch(kOutputBlocks));
    to_write_.SetBatch(HandOverBatch(kOutputBlocks));
    for (size_t b = 0; b < kOutputBlocks; ++b) {
      auto block = std::make_unique<Block>(kOutputSize);
      block->pool = BlockPool::kCodec;
      free_outputs_.Push(std::move(block));
    }
  }
  std::thread inflater;
  if (compressed_) inflater = std::thread([this] { InflateMain(); });
  std::thread hasher([this] { HashMain(); });
  std::thread writer([this] { WriteMain(); });
  BlockQueue &accepted = compressed_ ? to_inflate_ : to_hash_;
  bool ok = true;
  while (ok && checker_.ExpectingFrames()) {
    if (HostSession::Interrupted()) {
      ok = false;
      break;
    }
    const uint32_t s = checker_.NextStripe();
    std::unique_ptr<Block> block = Next(s);
    if (block == nullptr) {
      // Aborted: the stripe's reason is recorded.  Closed without
      // failing: it stopped because of an interrupt.
      ok = false;
      break;
    }
    const uint8_t *payload = nullptr;
    uint32_t length = 0;
    if (!checker_.AcceptFrame(s, block->bytes.data(), block->bytes.size(),
                              &payload, &length, &reason_)) {
      ok = false;
      break;
    }
    block->stripe = s;
    block->payload_offset = kFrameHeaderSize;
    block->payload_length = length;
    ok = accepted.Push(std::move(block));
  }
  for (uint32_t s = 0; ok && s < checker_.stripe_count(); ++s) {
    std::unique_ptr<Block> block = Next(s);
    ok = block != nullptr &&
         checker_.AcceptTrailer(s, block->bytes.data(), block->bytes.size(),
                                &reason_);
  }
  if (ok) {
    accepted.Close();
  } else {
    AbortAll();
  }
  if (inflater.joinable()) inflater.join();
  hasher.join();
  writer.join();
  if (!ok || HostSession::Interrupted()) return false;
  if (compressed_ && !inflated_all_) return false;  // the stage said why
  if (!hashed_all_ || !wrote_all_) return false;
  return checker_.Finish(hashed_bytes_, digest_, &reason_);
}

int RestoreRun::Execute() {
  if (stripes_given_ != 0) session_->StartProgress(stripes_given_);
  bool ok = ReadHeaders() && ReadStream();
  if (!ok) AbortAll();
  for (size_t i = 0;; ++i) {
    Stripe *s = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (i >= stripes_.size()) break;
      s = stripes_[i].get();
    }
    s->thread.join();
  }
  session_->StopProgress();

  for (auto &s : stripes_) {
    if (!s->error.empty()) {
      session_->Error("stripe " + std::to_string(s->index) + ": " +
                      session_->ExplainFailure(s->index, s->error));
      ok = false;
    }
  }
  std::string error;
  if (ok && !output_->Commit(&error)) {
    reason_ = error;
    ok = false;
  }
  if (ok) {
    char text[160];
    std::snprintf(text, sizeof text,
                  output_->verify_only
                      ? "verified %llu bytes: every frame, the length and the "
                        "SHA-256 check out"
                      : "restored %llu bytes; length and SHA-256 verified",
                  static_cast<unsigned long long>(written_.load()));
    session_->Note(text);
    return kExitSuccess;
  }

  output_->Discard();
  if (!reason_.empty()) session_->Error(reason_);
  if (!stage_error_.empty()) session_->Error(stage_error_);
  if (HostSession::Interrupted()) {
    session_->Error("interrupted after " + std::to_string(written_.load()) +
                    " bytes of the stream");
  }
  if (output_->verify_only) {
    session_->Error("the backup would not restore");
  } else if (output_->to_stdout || output_->direct) {
    session_->Error(
        "failed: the " + std::to_string(written_.load()) +
        " bytes written to " +
        (output_->to_stdout ? std::string("standard output") : output_->path) +
        " are incomplete or unverified; discard them");
  } else if (!output_->renamed) {  // else the reason says what became of it
    session_->Error("failed: " + output_->path +
                    " was not written (the partial output was removed)");
  }
  return kExitFailure;
}

// restore and verify: `verify` writes nothing.
int RunReadingCommand(int argc, char **argv, bool verify) {
  const std::string command = verify ? "verify" : "restore";
  // verify takes the options of a restore.
  const std::vector<OptionSpec> &specs = RestoreOptions();
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(specs, argc - 1, argv + 1, &args, &error)) {
    return UsageError(command, error);
  }
  if (args.Has("help")) {
    if (verify) {
      PrintVerifyHelp();
    } else {
      PrintRestoreHelp();
    }
    return kExitSuccess;
  }
  uint64_t stripes = 0;
  if (!ParseStripesOption(args, &stripes, &error))
    return UsageError(command, error);
  if (verify && !args.operands().empty()) {
    return UsageError(command, "verify takes no OUTPUT");
  }
  if (args.operands().size() > 1) {
    return UsageError(command, "more than one OUTPUT given");
  }
  SessionOptions options;
  if (!ParseSessionOptions(command, args, &options, &error)) {
    return UsageError(command, error);
  }
  const std::vector<std::string> templates = args.Values("device");
  std::vector<std::string> devices;
  if (!ExpandDevices(templates, static_cast<uint32_t>(stripes), &devices,
                     &error) ||
      !CheckDeviceStrings(devices, &error)) {
    return UsageError(command, error);
  }
  // One string with {stripe} and no --stripes: the backup says how many.
  const bool learn_count = stripes == 0 && templates.size() == 1 &&
                           HasStripePlaceholder(templates[0]);
  const uint32_t stripes_given =
      learn_count ? 0 : static_cast<uint32_t>(devices.size());

  uint32_t file_mode = 0;
  if (!BackupFileModeOption(&file_mode, &error))
    return UsageError(command, error);
  if (!LibraryEnvironmentOption(&error)) return UsageError(command, error);

  Output output;
  output.verify_only = verify;
  output.path = args.operands().empty() ? "-" : args.operands().front();
  output.mode = file_mode;
  if (!verify && output.path == "-" && isatty(1)) {
    return UsageError(command,
                      "standard output is a terminal; give OUTPUT or redirect "
                      "standard output");
  }
  if (!output.Open(&error)) {
    std::fprintf(stderr, "korbr %s: %s\n", command.c_str(), error.c_str());
    return kExitFailure;
  }

  options.data_to_stdout = output.to_stdout;
  options.file_mode = file_mode;
  options.devices = devices;
  HostSession session;
  if (!session.Start(options, &error)) {
    std::fprintf(stderr, "korbr %s: %s\n", command.c_str(), error.c_str());
    output.Discard();
    return kExitFailure;
  }
  session.SetDevices(devices, "");
  RestoreRun run(&session, &output, stripes_given, templates);
  return run.Execute();
}

}  // namespace

int RunRestoreCommand(int argc, char **argv) {
  return RunReadingCommand(argc, argv, false);
}

int RunVerifyCommand(int argc, char **argv) {
  return RunReadingCommand(argc, argv, true);
}

}  // namespace cli
}  // namespace kor
