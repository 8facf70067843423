// korbr restore.
#include "cli/restore_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/arg_parser.h"
#include "cli/block_queue.h"
#include "cli/command_common.h"
#include "cli/device_list.h"
#include "cli/host_session.h"
#include "cli/stream_format.h"
#include "korbr/korbr.h"

namespace kor {
namespace cli {
namespace {

const std::vector<OptionSpec> &RestoreOptions() {
  static const std::vector<OptionSpec> specs = {
      {"device", 'd', true, true, "DEVSTRING",
       "archive device string; {stripe} becomes the stripe number (give it "
       "once, or once per stripe)"},
      {"stripes", 's', true, false, "N",
       "number of stripes, 1 to 32 (default: what the backup recorded, or "
       "one per --device)"},
      {"quiet", 'q', false, false, nullptr,
       "no notes, no progress line, no trace log (unless KORDBG is set)"},
      {"trace-file", 0, true, false, "FILE",
       "append the library's trace log to FILE instead of standard output "
       "(standard error when the data goes to standard output)"},
      {"help", 'h', false, false, nullptr, "show this help and exit"},
  };
  return specs;
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

bool WriteAll(int fd, const uint8_t *data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
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
  bool direct = false;  // a device or a pipe, written in place

  // Before the session starts.  False with a reason.
  bool Open(std::string *error) {
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
    return true;
  }

  // After the stream was verified.
  bool Commit(std::string *error) {
    if (to_stdout) return true;
    if (close(fd) != 0) {
      fd = -1;
      *error = "writing " + path + " failed: " + std::strerror(errno);
      return false;
    }
    fd = -1;
    if (!temporary.empty() && rename(temporary.c_str(), path.c_str()) != 0) {
      *error = "cannot rename " + temporary + " to " + path + ": " +
               std::strerror(errno);
      return false;
    }
    temporary.clear();
    HostSession::ClearPartialOutputPath();
    return true;
  }

  // After a failure: nothing partial stays behind.
  void Discard() {
    if (to_stdout) return;
    if (fd >= 0) close(fd);
    fd = -1;
    if (!temporary.empty()) unlink(temporary.c_str());
    HostSession::ClearPartialOutputPath();
  }
};

// The library's error for a volume whose data ends inside a request.
constexpr int32_t kShortReadError = 6935;

// A stripe's thread makes its blocks once it knows the request size from
// the header; their number (at most kMaxBlocks) bounds the memory.
constexpr size_t kMaxBlocks = 32;

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

  HostSession *session_;
  Output *output_;
  uint32_t stripes_given_;  // 0: learn it from stripe 0's header
  std::vector<std::string> templates_;
  StreamChecker checker_;
  std::vector<std::unique_ptr<Stripe>> stripes_;
  std::mutex mutex_;
  std::string reason_;  // what the main thread found wrong, if anything
  uint64_t written_ = 0;
};

void RestoreRun::AbortAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto &s : stripes_) {
    s->full.Abort();
    s->free.Abort();
  }
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
  HostSession::BlockInterruptsInThisThread();
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *handle = kor_open(static_cast<int32_t>(stripe->index),
                          session_->params(), KOR_MODE_READ, &msg);
  if (handle == nullptr) {
    FailStripe(stripe, "cannot open: " + BufferText(msg));
    stripe->full.Close();
    return;
  }
  bool failed = false;
  auto header = std::make_unique<Block>(kHeaderRequestSize);
  std::memset(&msg, 0, sizeof msg);
  if (kor_read(handle, header->bytes.data(), kHeaderRequestSize, &msg) != 0) {
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
    const uint32_t stripes = std::max<uint32_t>(1, decoded.stripe_count);
    // Enough blocks to read ahead, within about 64 MiB over all stripes.
    const size_t blocks = std::max<size_t>(
        3,
        std::min<size_t>(kMaxBlocks, ((size_t{64} << 20) / stripes) / request));
    for (size_t b = 0; b < blocks; ++b) {
      stripe->free.Push(std::make_unique<Block>(request));
    }
    for (;;) {
      if (HostSession::Interrupted()) break;
      std::unique_ptr<Block> block = stripe->free.Pop();
      if (block == nullptr) break;
      std::memset(&msg, 0, sizeof msg);
      if (kor_read(handle, block->bytes.data(), static_cast<int32_t>(request),
                   &msg) != 0) {
        std::string reason = BufferText(msg);
        if (kor_get_last_error(handle) == kShortReadError) {
          reason +=
              "; the stripe's data ends before its stream trailer: the "
              "backup is incomplete, or a volume is missing or damaged";
        }
        FailStripe(stripe, reason);
        failed = true;
        break;
      }
      const RequestKind kind =
          ClassifyRequest(block->bytes.data(), block->bytes.size());
      if (!stripe->full.Push(std::move(block))) break;
      if (kind != RequestKind::kFrame) break;  // the trailer, or damage
    }
  }
  std::memset(&msg, 0, sizeof msg);
  if (kor_close(handle, KOR_CLOSE_NORMAL, &msg) != 0 && !failed) {
    FailStripe(stripe, "closing failed: " + BufferText(msg));
  }
  stripe->full.Close();
}

std::unique_ptr<Block> RestoreRun::Next(uint32_t stripe) {
  Stripe *s = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    s = stripes_[stripe].get();
  }
  return s->full.Pop();
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
                BackupIdHex(h.backup_id).c_str(), h.dbname.c_str(),
                h.stripe_count, h.stripe_count == 1 ? "" : "s", h.request_size);
  session_->Note(text);
  return true;
}

bool RestoreRun::ReadStream() {
  const int fd = output_->to_stdout ? session_->data_fd() : output_->fd;
  while (checker_.ExpectingFrames()) {
    if (HostSession::Interrupted()) return false;
    const uint32_t s = checker_.NextStripe();
    std::unique_ptr<Block> block = Next(s);
    if (block == nullptr) {
      // Aborted: the stripe's reason is recorded.  Closed without
      // failing: it stopped because of an interrupt.
      return false;
    }
    const uint8_t *payload = nullptr;
    uint32_t length = 0;
    if (!checker_.AcceptFrame(s, block->bytes.data(), block->bytes.size(),
                              &payload, &length, &reason_)) {
      return false;
    }
    if (!WriteAll(fd, payload, length)) {
      reason_ =
          "writing " +
          std::string(output_->to_stdout ? "standard output" : output_->path) +
          " failed: " + std::strerror(errno);
      return false;
    }
    written_ += length;
    session_->AddBytes(length);
    stripes_[s]->free.Push(std::move(block));
  }
  for (uint32_t s = 0; s < checker_.stripe_count(); ++s) {
    std::unique_ptr<Block> block = Next(s);
    if (block == nullptr) return false;
    if (!checker_.AcceptTrailer(s, block->bytes.data(), block->bytes.size(),
                                &reason_)) {
      return false;
    }
  }
  return checker_.Finish(&reason_);
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
      session_->Error("stripe " + std::to_string(s->index) + ": " + s->error);
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
                  "restored %llu bytes; length and SHA-256 verified",
                  static_cast<unsigned long long>(written_));
    session_->Note(text);
    return kExitSuccess;
  }

  output_->Discard();
  if (!reason_.empty()) session_->Error(reason_);
  if (HostSession::Interrupted()) {
    session_->Error("interrupted after " + std::to_string(written_) +
                    " bytes of the stream");
  }
  if (output_->to_stdout || output_->direct) {
    session_->Error(
        "failed: the " + std::to_string(written_) + " bytes written to " +
        (output_->to_stdout ? std::string("standard output") : output_->path) +
        " are incomplete or unverified; discard them");
  } else {
    session_->Error("failed: " + output_->path +
                    " was not written (the partial output was removed)");
  }
  return kExitFailure;
}

}  // namespace

int RunRestoreCommand(int argc, char **argv) {
  const std::string command = "restore";
  ParsedArgs args;
  std::string error;
  if (!ParseArgs(RestoreOptions(), argc - 1, argv + 1, &args, &error)) {
    return UsageError(command, error);
  }
  if (args.Has("help")) {
    PrintRestoreHelp();
    return kExitSuccess;
  }
  uint64_t stripes = 0;
  if (!ParseStripesOption(args, &stripes, &error))
    return UsageError(command, error);
  if (args.operands().size() > 1) {
    return UsageError(command, "more than one OUTPUT given");
  }
  const std::vector<std::string> templates = args.Values("device");
  std::vector<std::string> devices;
  if (!ExpandDevices(templates, static_cast<uint32_t>(stripes), &devices,
                     &error)) {
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

  Output output;
  output.path = args.operands().empty() ? "-" : args.operands().front();
  output.mode = file_mode;
  if (output.path == "-" && isatty(1)) {
    return UsageError(command,
                      "standard output is a terminal; give OUTPUT or redirect "
                      "standard output");
  }
  if (!output.Open(&error)) {
    std::fprintf(stderr, "korbr restore: %s\n", error.c_str());
    return kExitFailure;
  }

  SessionOptions options;
  options.command = command;
  options.quiet = args.Has("quiet");
  options.trace_file = args.Value("trace-file");
  options.data_to_stdout = output.to_stdout;
  options.file_mode = file_mode;
  HostSession session;
  if (!session.Start(options, &error)) {
    std::fprintf(stderr, "korbr restore: %s\n", error.c_str());
    output.Discard();
    return kExitFailure;
  }
  session.SetDevices(devices, "");
  RestoreRun run(&session, &output, stripes_given, templates);
  return run.Execute();
}

}  // namespace cli
}  // namespace kor
