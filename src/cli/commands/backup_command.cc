// korbr backup.
#include "cli/commands/backup_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
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
#include "cli/format/sha256.h"
#include "cli/format/stream_format.h"
#include "cli/format/volume_locator.h"
#include "cli/format/zstd_codec.h"
#include "korbr/korbr.h"

// The backup time goes into the stream header as 64 bits; a 32-bit
// time_t would wrap it in 2038.
static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64");

namespace kor {
namespace cli {
namespace {

const std::vector<OptionSpec> &BackupOptions() {
  static const std::vector<OptionSpec> specs = {
      kDeviceOption,
      {"stripes", 's', true, false, "N",
       "number of stripes, 1 to 32 (default: 1, or one per --device)"},
      {"request-size", 'r', true, false, "BYTES",
       "bytes per request, 4K to 16M, suffix K or M allowed (default 64K)"},
      {"dbname", 0, true, false, "NAME",
       "database name recorded with the backup (at most 30 bytes)"},
      {"compress", 'z', true, false, "zstd[:LEVEL]",
       "compress the stream with zstd (LEVEL 1 to 19, default 3) on every "
       "core; restore decompresses by itself"},
      kQuietOption,
      kTraceOption,
      kTraceFileOption,
      kWaitTimeoutOption,
      {"help", 'h', false, false, nullptr, "show this help and exit"},
  };
  return specs;
}

void PrintBackupHelp() {
  std::printf(
      "Usage: korbr backup --device DEVSTRING [OPTIONS] [INPUT|-]\n"
      "\n"
      "Backs up INPUT (standard input when INPUT is \"-\" or absent) through\n"
      "libkorbr onto the archive devices of one or more stripes.  The stream\n"
      "is dealt out in requests of --request-size bytes round-robin over the\n"
      "stripes, each stripe in its own thread.  Each stripe carries a header,\n"
      "the data frames and a trailer with the stream's length and SHA-256, so\n"
      "that 'korbr restore' needs only the device strings.\n"
      "\n"
      "Options:\n%s"
      "\n"
      "Examples:\n"
      "  korbr backup --device "
      "'devname=/backups/sales.s{stripe};dbtype=ZDBn;capacity=1048576' \\\n"
      "      --stripes 4 sales.dump\n"
      "  pg_dump sales | korbr backup --stripes 2 \\\n"
      "      --device 'devname=/backups/sales.s{stripe};dbtype=ZDBn' -\n"
      "\n"
      "Exit status: 0 success, 1 failure, 2 usage error.\n",
      OptionsHelp(BackupOptions()).c_str());
}

std::string BufferText(const MessageBuffer &msg) {
  if (msg.length <= 0) return "the library gave no reason";
  return std::string(msg.text, strnlen(msg.text, sizeof msg.text));
}

BackupId NewBackupId() {
  BackupId id{};
  bool filled = false;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    filled = read(fd, id.data(), id.size()) == static_cast<ssize_t>(id.size());
    close(fd);
  }
  if (!filled) {
    // Without a random source: time and process id still tell backups
    // apart in practice.
    const uint64_t a = static_cast<uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count());
    const uint64_t b = static_cast<uint64_t>(getpid()) * 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 8; ++i) {
      id[static_cast<size_t>(i)] = static_cast<uint8_t>(a >> (8 * i));
      id[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(b >> (8 * i));
    }
  }
  return id;
}

// Reads until `length` bytes are in or the input ends.  -1 on a read error
// (errno kept) or when interrupted.
ssize_t ReadFull(int fd, uint8_t *buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = read(fd, buffer + got, length - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR && !HostSession::Interrupted()) continue;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

struct Stripe {
  Stripe(uint32_t i, size_t blocks) : index(i), full(blocks), free(blocks) {}
  uint32_t index;
  BlockQueue full;  // frames (and finally the trailer) to write
  BlockQueue free;  // emptied blocks
  std::thread thread;
  std::string error;  // the reason this stripe failed, "" if none
  bool wrote_trailer = false;
  uint64_t requests = 0;  // requests written (header included)
};

// Blocks that carry input to the compressor come from the codec's pool.
constexpr size_t kChunkSize = size_t{1} << 20;
constexpr size_t kChunkBlocks = 8;

// The threads of a backup:
//   main        reads the input: into frames (each payload read in place),
//               or with compression into chunks;
//   korbr-hash  hashes the input in order (SHA-256, the stream's seal) and
//               passes frames to their stripes, or chunks on to
//   korbr-zstd  which compresses them straight into frames;
//   stripes     one per stripe, writing through the library.
class BackupRun {
 public:
  BackupRun(HostSession *session, int input_fd, uint32_t stripes,
            uint32_t request_size, const std::string &dbname, int zstd_level)
      : session_(session),
        input_fd_(input_fd),
        request_size_(request_size),
        zstd_level_(zstd_level),
        encoder_(NewBackupId(), stripes, request_size,
                 static_cast<uint64_t>(std::time(nullptr)), dbname,
                 zstd_level > 0 ? Compression::kZstd : Compression::kNone) {
    const size_t blocks = BlocksPerStripe(stripes, request_size);
    to_hash_.SetBatch(HandOverBatch(blocks * stripes));
    for (uint32_t s = 0; s < stripes; ++s) {
      stripes_.push_back(std::make_unique<Stripe>(s, blocks));
      stripes_.back()->full.SetBatch(HandOverBatch(blocks));
      stripes_.back()->free.SetBatch(HandOverBatch(blocks));
      for (size_t b = 0; b < blocks; ++b) {
        stripes_.back()->free.Push(std::make_unique<Block>(request_size));
      }
    }
    if (zstd_level_ > 0) {
      // Only the chunks pass the hasher then: a larger batch than they
      // allow would make every hand-over wait it out.
      to_hash_.SetBatch(HandOverBatch(kChunkBlocks));
      for (size_t b = 0; b < kChunkBlocks; ++b) {
        auto chunk = std::make_unique<Block>(kChunkSize);
        chunk->pool = BlockPool::kCodec;
        free_chunks_.Push(std::move(chunk));
      }
    }
  }

  int Execute();

 private:
  void StripeMain(Stripe *stripe);
  void HashMain();
  void CompressMain();
  void FailStripe(Stripe *stripe, const std::string &reason);
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
  int input_fd_;
  uint32_t request_size_;
  int zstd_level_;  // 0: no compression
  StreamEncoder encoder_;
  std::vector<std::unique_ptr<Stripe>> stripes_;
  BlockQueue to_hash_{16};  // frames or chunks, in input order
  BlockQueue to_compress_{kChunkBlocks};
  BlockQueue free_chunks_{kChunkBlocks};
  Sha256Digest digest_{};
  std::atomic<uint64_t> input_bytes_{0};
  bool hashed_all_ = false;      // the hasher saw the whole input
  bool compressed_all_ = false;  // the compressor finished its stream

  std::mutex mutex_;
  std::condition_variable opened_;
  uint32_t open_results_ = 0;  // stripes whose kor_open has returned
  bool go_ = false;            // every stripe opened: write
  bool decided_ = false;       // go_ is final
  bool failed_ = false;        // some stripe failed
  std::string input_error_;
  std::string stage_error_;  // the compressor's reason
};

void BackupRun::AbortAll() {
  to_hash_.Abort();
  to_compress_.Abort();
  free_chunks_.Abort();
  for (auto &s : stripes_) {
    s->full.Abort();
    s->free.Abort();
  }
}

void BackupRun::FailStripe(Stripe *stripe, const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The first failure is the cause; what fails after it (the close of a
    // stripe whose volume could not be opened, say) only follows from it.
    if (stripe->error.empty()) stripe->error = reason;
    failed_ = true;
  }
  AbortAll();
}

void BackupRun::Fail(const std::string &reason) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stage_error_.empty()) stage_error_ = reason;
    failed_ = true;
  }
  AbortAll();
}

void BackupRun::StripeMain(Stripe *stripe) {
  HostSession::BlockInterruptsInThisThread("korbr-stripe" +
                                           std::to_string(stripe->index));
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *handle = WatchedOpen(session_, stripe->index, session_->params(),
                             KOR_MODE_WRITE, &msg);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (handle == nullptr) {
      stripe->error = "cannot open: " + BufferText(msg);
      failed_ = true;
    }
    ++open_results_;
    opened_.notify_all();
    opened_.wait(lock, [&] { return decided_; });
    if (!go_) {
      lock.unlock();
      if (handle != nullptr)
        WatchedClose(session_, stripe->index, handle, KOR_CLOSE_NORMAL, &msg);
      return;
    }
  }

  // The volume file a failed write was meant for, when it can be told.
  const std::string devname =
      DevnameOf(session_->params()->archdev[stripe->index]);
  auto where = [&]() {
    const uint64_t offset =
        stripe->requests == 0
            ? 0
            : kHeaderRequestSize + (stripe->requests - 1) * request_size_;
    const std::string volume = DiskVolumeAt(devname, offset);
    return volume.empty() ? std::string() : " (volume file " + volume + ")";
  };
  std::vector<uint8_t> header(kHeaderRequestSize);
  encoder_.EncodeHeaderFor(stripe->index, header.data());
  std::memset(&msg, 0, sizeof msg);
  if (WatchedWrite(session_, stripe->index, handle, header.data(),
                   kHeaderRequestSize, &msg) != 0) {
    FailStripe(stripe, BufferText(msg) + where());
  } else {
    ++stripe->requests;
    for (;;) {
      std::unique_ptr<Block> block = stripe->full.Pop();
      if (block == nullptr) break;  // aborted
      std::memset(&msg, 0, sizeof msg);
      if (WatchedWrite(session_, stripe->index, handle, block->bytes.data(),
                       static_cast<int32_t>(request_size_), &msg) != 0) {
        FailStripe(stripe, BufferText(msg) + where());
        break;
      }
      ++stripe->requests;
      const bool trailer = block->trailer;
      block->trailer = false;
      stripe->free.Push(std::move(block));
      if (trailer) {
        stripe->wrote_trailer = true;
        break;
      }
    }
  }
  std::memset(&msg, 0, sizeof msg);
  if (WatchedClose(session_, stripe->index, handle, KOR_CLOSE_NORMAL, &msg) !=
      0) {
    FailStripe(stripe, "closing failed: " + BufferText(msg));
  }
}

void BackupRun::HashMain() {
  HostSession::BlockInterruptsInThisThread("korbr-hash");
  // Frames go on to their stripe; chunks of a compressed backup to zstd.
  hashed_all_ = HashEveryBlock(
      &to_hash_,
      [this](std::unique_ptr<Block> block) {
        return block->pool == BlockPool::kCodec
                   ? to_compress_.Push(std::move(block))
                   : stripes_[block->stripe]->full.Push(std::move(block));
      },
      &digest_);
  if (hashed_all_) to_compress_.Close();
}

void BackupRun::CompressMain() {
  HostSession::BlockInterruptsInThisThread("korbr-zstd");
  ZstdCompressor zstd;
  std::string why;
  if (!zstd.Start(zstd_level_, 0, &why)) {
    Fail(why);
    return;
  }
  const uint32_t capacity = FramePayloadCapacity(request_size_);
  const uint32_t count = encoder_.stripe_count();
  // Frames are sealed in order; a full frame waits as `pending` until more
  // output shows that it is not the last one.
  std::unique_ptr<Block> pending;
  std::unique_ptr<Block> current;
  CodecBuffer out;
  auto take_current = [&]() -> bool {
    const uint64_t sequence = encoder_.frames() + (pending ? 1 : 0);
    current = TakeFree(static_cast<uint32_t>(sequence % count));
    if (current == nullptr) return false;
    out.data = current->bytes.data() + kFrameHeaderSize;
    out.size = capacity;
    out.pos = 0;
    return true;
  };
  auto ship = [&](std::unique_ptr<Block> frame, uint32_t length,
                  bool last) -> bool {
    encoder_.SealNextFrame(frame->bytes.data(), length, last);
    const uint32_t stripe = frame->stripe;
    return stripes_[stripe]->full.Push(std::move(frame));
  };
  // After each step: a pending frame goes out once its successor has
  // bytes; a full current frame becomes the pending one.
  auto settle = [&]() -> bool {
    if (pending && out.pos > 0 && !ship(std::move(pending), capacity, false)) {
      return false;
    }
    if (out.pos == out.size) {
      pending = std::move(current);
      return take_current();
    }
    return true;
  };
  if (!take_current()) return;
  for (;;) {
    std::unique_ptr<Block> chunk = to_compress_.Pop();
    if (chunk == nullptr) break;
    CodecBuffer in;
    in.data = chunk->bytes.data();
    in.size = chunk->payload_length;
    while (in.pos < in.size) {
      bool finished = false;
      if (!zstd.Compress(&in, &out, false, &finished, &why)) {
        Fail(why);
        return;
      }
      if (!settle()) return;
    }
    if (!free_chunks_.Push(std::move(chunk))) return;
  }
  if (to_compress_.aborted()) return;
  for (bool finished = false; !finished;) {
    CodecBuffer none;
    if (!zstd.Compress(&none, &out, true, &finished, &why)) {
      Fail(why);
      return;
    }
    if (!settle()) return;
  }
  if (pending && out.pos == 0) {
    // The stream ended exactly at the pending frame's end.
    const uint32_t stripe = current->stripe;
    if (!stripes_[stripe]->free.Push(std::move(current))) return;
    if (!ship(std::move(pending), capacity, true)) return;
  } else {
    if (pending && !ship(std::move(pending), capacity, false)) return;
    if (!ship(std::move(current), static_cast<uint32_t>(out.pos), true)) {
      return;
    }
  }
  compressed_all_ = true;
}

std::unique_ptr<Block> BackupRun::TakeFree(uint32_t stripe) {
  std::unique_ptr<Block> block = stripes_[stripe]->free.Pop();
  if (block != nullptr) {
    block->stripe = stripe;
    block->payload_offset = kFrameHeaderSize;
  }
  return block;
}

bool BackupRun::ReadFailed(ssize_t got) {
  if (got >= 0 && !HostSession::Interrupted()) return false;
  if (got < 0 && !HostSession::Interrupted()) {
    input_error_ =
        std::string("reading the input failed: ") + std::strerror(errno);
  }
  return true;
}

bool BackupRun::DealChunks() {
  for (;;) {
    std::unique_ptr<Block> chunk = free_chunks_.Pop();
    if (chunk == nullptr) return false;
    const ssize_t got = ReadFull(input_fd_, chunk->bytes.data(), kChunkSize);
    if (ReadFailed(got)) return false;
    if (got == 0) return true;
    chunk->payload_offset = 0;
    chunk->payload_length = static_cast<uint32_t>(got);
    input_bytes_ += static_cast<uint64_t>(got);
    session_->AddBytes(static_cast<uint64_t>(got));
    if (!to_hash_.Push(std::move(chunk))) return false;
  }
}

bool BackupRun::Deal(uint32_t stripe, std::unique_ptr<Block> block) {
  block->stripe = stripe;
  return to_hash_.Push(std::move(block));
}

bool BackupRun::DealInput() {
  if (zstd_level_ > 0) return DealChunks();
  const uint32_t capacity = FramePayloadCapacity(request_size_);
  const uint32_t count = encoder_.stripe_count();
  uint64_t sequence = 0;
  // A frame is known to be the last one when its read came up short, or
  // when the read of the next frame finds the input at its end.
  std::unique_ptr<Block> current = TakeFree(0);
  if (current == nullptr) return false;
  ssize_t got =
      ReadFull(input_fd_, current->bytes.data() + kFrameHeaderSize, capacity);
  for (;;) {
    if (got < 0) {
      if (!HostSession::Interrupted()) {
        input_error_ =
            std::string("reading the input failed: ") + std::strerror(errno);
      }
      return false;
    }
    if (HostSession::Interrupted()) return false;
    const uint32_t stripe = static_cast<uint32_t>(sequence % count);
    if (static_cast<uint32_t>(got) < capacity) {
      encoder_.SealNextFrame(current->bytes.data(), static_cast<uint32_t>(got),
                             true);
      current->payload_length = static_cast<uint32_t>(got);
      input_bytes_ += static_cast<uint64_t>(got);
      session_->AddBytes(static_cast<uint64_t>(got));
      return Deal(stripe, std::move(current));
    }
    std::unique_ptr<Block> next =
        TakeFree(static_cast<uint32_t>((sequence + 1) % count));
    if (next == nullptr) return false;
    const ssize_t next_got =
        ReadFull(input_fd_, next->bytes.data() + kFrameHeaderSize, capacity);
    const bool last = next_got == 0;
    encoder_.SealNextFrame(current->bytes.data(), capacity, last);
    current->payload_length = capacity;
    input_bytes_ += capacity;
    session_->AddBytes(capacity);
    if (last) {
      stripes_[(sequence + 1) % count]->free.Push(std::move(next));
      return Deal(stripe, std::move(current));
    }
    if (!Deal(stripe, std::move(current))) return false;
    current = std::move(next);
    got = next_got;
    ++sequence;
  }
}

// Volume files of an earlier, longer backup stay behind the new one's last
// volume (nothing deletes them); they are not part of this backup.
void BackupRun::WarnOfLeftovers() {
  for (uint32_t s = 0; s < encoder_.stripe_count(); ++s) {
    const std::vector<std::string> left =
        LeftoverVolumes(DevnameOf(session_->params()->archdev[s]));
    if (left.empty()) continue;
    session_->Warn("stripe " + std::to_string(s) + ": " +
                   std::to_string(left.size()) + " volume file" +
                   (left.size() == 1 ? "" : "s") + " of another backup remain" +
                   (left.size() == 1 ? "s" : "") +
                   " after this backup's last "
                   "volume (" +
                   left.front() + (left.size() > 1 ? " ..." : "") +
                   "); they are not part of it: remove them");
  }
}

int BackupRun::Execute() {
  const uint32_t count = encoder_.stripe_count();
  session_->StartProgress(count);
  for (auto &s : stripes_) {
    Stripe *stripe = s.get();
    stripe->thread = std::thread([this, stripe] { StripeMain(stripe); });
  }
  bool all_open = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [&] { return open_results_ == count; });
    all_open = !failed_ && !HostSession::Interrupted();
    go_ = all_open;
    decided_ = true;
    opened_.notify_all();
  }

  bool dealt = false;
  if (all_open) {
    std::thread hasher([this] { HashMain(); });
    std::thread compressor;
    if (zstd_level_ > 0) compressor = std::thread([this] { CompressMain(); });
    dealt = DealInput();
    if (dealt) {
      to_hash_.Close();
    } else {
      AbortAll();
    }
    hasher.join();
    if (compressor.joinable()) compressor.join();
    if (zstd_level_ > 0 && !compressed_all_) dealt = false;
    // The trailers go out only for a whole input on healthy stripes.
    bool healthy;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      healthy = !failed_;
    }
    if (dealt && hashed_all_ && healthy && !HostSession::Interrupted()) {
      for (uint32_t s = 0; s < count && dealt; ++s) {
        std::unique_ptr<Block> block = TakeFree(s);
        if (block == nullptr) {
          dealt = false;
          break;
        }
        encoder_.EncodeTrailerFor(s, input_bytes_.load(), digest_,
                                  block->bytes.data());
        block->trailer = true;
        dealt = stripes_[s]->full.Push(std::move(block));
        // Nothing follows the trailer: the writer need not wait for more.
        stripes_[s]->full.Close();
      }
    } else {
      dealt = false;
    }
    if (!dealt) AbortAll();
  }
  for (auto &s : stripes_) s->thread.join();
  session_->StopProgress();

  bool complete = all_open && dealt;
  for (auto &s : stripes_) {
    if (!s->error.empty()) {
      session_->Error("stripe " + std::to_string(s->index) + ": " +
                      session_->ExplainFailure(s->index, s->error));
      complete = false;
    }
    if (!s->wrote_trailer) complete = false;
  }
  if (!input_error_.empty()) session_->Error(input_error_);
  if (!stage_error_.empty()) session_->Error(stage_error_);

  // A backup whose every stripe has its trailer is whole, even when an
  // interrupt arrived while the last trailers were going out.
  if (complete) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "backed up %llu bytes in %llu frames on %u stripe%s",
                  static_cast<unsigned long long>(input_bytes_.load()),
                  static_cast<unsigned long long>(encoder_.frames()), count,
                  count == 1 ? "" : "s");
    std::string line = text;
    if (zstd_level_ > 0) {
      std::snprintf(text, sizeof text, " (compressed to %llu bytes, %.2f:1)",
                    static_cast<unsigned long long>(encoder_.total_bytes()),
                    encoder_.total_bytes() > 0
                        ? static_cast<double>(input_bytes_.load()) /
                              static_cast<double>(encoder_.total_bytes())
                        : 0.0);
      line += text;
    }
    session_->Note(line);
    WarnOfLeftovers();
    return kExitSuccess;
  }
  if (!all_open) {
    session_->Error("no data was backed up: not every stripe could be opened");
  } else if (HostSession::Interrupted()) {
    session_->Error("interrupted after " + std::to_string(input_bytes_.load()) +
                    " bytes of input: the backup is incomplete; its volumes "
                    "carry no stream trailer and cannot be restored");
  } else {
    session_->Error("the backup is incomplete (" +
                    std::to_string(input_bytes_.load()) +
                    " bytes of input were read); its volumes cannot be "
                    "restored");
  }
  return kExitFailure;
}

}  // namespace

int RunBackupCommand(int argc, char **argv) {
  const std::string command = "backup";
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(BackupOptions(), argc - 1, argv + 1, &args, &error)) {
    return UsageError(command, error);
  }
  if (args.Has("help")) {
    PrintBackupHelp();
    return kExitSuccess;
  }
  uint64_t stripes = 0;
  if (!ParseStripesOption(args, &stripes, &error))
    return UsageError(command, error);
  uint64_t request_size = 65536;
  if (args.Has("request-size") &&
      (!ParseByteSize(args.Value("request-size"), &request_size) ||
       request_size < kMinRequestSize || request_size > kMaxRequestSize)) {
    return UsageError(command, "--request-size must be 4K to 16M bytes, not '" +
                                   args.Value("request-size") + "'");
  }
  const std::string dbname =
      args.Has("dbname") ? args.Value("dbname") : "korbr";
  if (dbname.size() > kMaxDbNameLength) {
    return UsageError(command, "--dbname is longer than 30 bytes");
  }
  if (args.operands().size() > 1) {
    return UsageError(command, "more than one INPUT given");
  }
  int zstd_level = 0;
  if (args.Has("compress") &&
      !ParseCompressOption(args.Value("compress"), &zstd_level, &error)) {
    return UsageError(command, error);
  }
  std::vector<std::string> devices;
  if (!ExpandDevices(args.Values("device"), static_cast<uint32_t>(stripes),
                     &devices, &error) ||
      !CheckDeviceStrings(devices, &error)) {
    return UsageError(command, error);
  }
  uint32_t file_mode = 0;
  if (!BackupFileModeOption(&file_mode, &error))
    return UsageError(command, error);
  if (!LibraryEnvironmentOption(&error)) return UsageError(command, error);

  SessionOptions options;
  if (!ParseSessionOptions(command, args, &options, &error)) {
    return UsageError(command, error);
  }
  const std::string input =
      args.operands().empty() ? "-" : args.operands().front();
  if (input == "-" && isatty(0)) {
    return UsageError(command,
                      "standard input is a terminal; give INPUT or redirect "
                      "standard input");
  }
  int input_fd = 0;
  if (input != "-") {
    input_fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (input_fd >= 0 && fstat(input_fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      close(input_fd);
      input_fd = -1;
      errno = EISDIR;
    }
    if (input_fd < 0) {
      std::fprintf(stderr, "korbr backup: cannot open %s: %s\n", input.c_str(),
                   std::strerror(errno));
      return kExitFailure;
    }
  }

  options.data_from_stdin = input == "-";
  options.file_mode = file_mode;
  options.devices = devices;
  HostSession session;
  if (!session.Start(options, &error)) {
    std::fprintf(stderr, "korbr backup: %s\n", error.c_str());
    return kExitFailure;
  }
  session.SetDevices(devices, dbname);
  BackupRun run(&session, input_fd, static_cast<uint32_t>(devices.size()),
                static_cast<uint32_t>(request_size), dbname, zstd_level);
  const int code = run.Execute();
  if (input_fd != 0) close(input_fd);
  return code;
}

}  // namespace cli
}  // namespace kor
