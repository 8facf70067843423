// The host side shared by the commands that drive the library: the owner
// that wires the session's parts, and the operator dialogue.
#include "cli/session/host_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cli/format/label_decode.h"
#include "cli/format/volume_locator.h"
#include "cli/session/message_texts.h"
#include "cli/session/secret_guard.h"
#include "cli/session/trace_routing.h"
#include "rules/device_string_rules.h"
#include "rules/message_numbers.h"
#include "rules/tape_name_rules.h"

namespace kor {
namespace cli {
namespace {

const char *ArgText(const KorMessageArg *args, int i) {
  return args == nullptr ? nullptr : reinterpret_cast<const char *>(args[i]);
}

// The reason of the 6920 the library sends before asking for the right
// volume in place of one out of sequence.
constexpr char kOutOfOrderReason[] = "Tapes out of order";

// What a disk volume file holds instead, from its VOL1 label: " (it holds
// volume V of stripe S)", or "" when that cannot be read.
std::string HeldVolume(const std::string &file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  uint8_t head[kVolumeHeadSize];
  const bool read_whole = pread(fd, head, sizeof head, 0) ==
                          static_cast<ssize_t>(sizeof head);
  close(fd);
  VolumeLabels labels;
  std::string why;
  if (!read_whole || !DecodeVolumeHead(head, sizeof head, &labels, &why)) {
    return "";
  }
  return " (it holds volume " + std::to_string(labels.volume) +
         " of stripe " + std::to_string(labels.stripe) + ")";
}

// An operator at a terminal ends a wait with Ctrl-C; with nobody there a
// wait ends after an hour unless --wait-timeout says otherwise.  -1: none.
int64_t WaitTimeoutMs(const SessionOptions &options) {
  if (options.wait_timeout_seconds > 0) {
    return options.wait_timeout_seconds * 1000;
  }
  if (!(isatty(0) && !options.data_from_stdin)) return int64_t{3600} * 1000;
  return -1;
}

}  // namespace

HostSession::HostSession() = default;

HostSession::~HostSession() { DisconnectLibrary(this); }

bool HostSession::Start(const SessionOptions &options, std::string *error) {
  if (!GuardSecrets(options.devices, options.encrypted,
                    IsSetInEnvironment, error)) return false;
  options_ = options;
  console_.Configure(options.command, options.quiet);

  TraceRequest trace;
  trace.trace = options.trace;
  trace.trace_mask = options.trace_mask;
  trace.trace_file = options.trace_file;
  trace.file_mode = options.file_mode;
  trace.data_to_stdout = options.data_to_stdout;
  TraceRoute route;
  const bool routed = RouteTrace(trace, &route, error);
  trace_on_ = route.trace_on;
  data_fd_ = route.data_fd;
  if (!routed) return false;

  InstallInterruptHandlers();
  if (!ConnectLibrary(this, error)) return false;
  watch_.Start(options.command == "backup", WaitTimeoutMs(options));
  return true;
}

void HostSession::SetDevices(const std::vector<std::string> &devices,
                             const std::string &dbname) {
  devices_.Set(devices, dbname);
  console_.SetStripeCount(devices.size());
}

void HostSession::StartProgress(uint32_t stripes) {
  // A trace on the same terminal would break into the progress line.
  const bool trace_on_terminal = trace_on_ && options_.trace_file.empty() &&
                                 (options_.data_to_stdout || isatty(1));
  console_.StartProgress(stripes, trace_on_terminal);
}

void HostSession::OnInfo(int32_t number, const KorMessageArg *args) {
  const std::string text = MessageText(number, args);
  switch (number) {
    case kMsgMountVolume:
      OnMountRequest(text, args);
      return;
    case kMsgBackupVolume:
    case kMsgRestoreVolume:
      OnVolumeStarted(text, args);
      return;
    case kMsgSmallCapacity:
      OnSmallCapacity(text, args);
      return;
    case kErrVolume:
      OnVolumeError(text, args);
      return;
    default:
      Note(text);
      return;
  }
}

void HostSession::OnMountRequest(const std::string &text,
                                 const KorMessageArg *args) {
  const char *device = ArgText(args, 1);
  const char *volume = ArgText(args, 0);
  const int stripe = device != nullptr ? devices_.StripeOf(device) : -1;
  if (stripe >= 0 && volume != nullptr) {
    watch_.SetWantedVolume(static_cast<uint32_t>(stripe),
                           static_cast<uint32_t>(std::strtoul(volume, nullptr,
                                                              10)));
  }
  if (device != nullptr && !IsTapeDevname(device)) {
    GiveUpOutOfOrderDisk(stripe, device, volume);
  } else if (isatty(0) && !options_.data_from_stdin) {
    if (stripe >= 0) watch_.SetPrompting(static_cast<uint32_t>(stripe), true);
    console_.PromptForVolume(text);
    if (stripe >= 0) watch_.SetPrompting(static_cast<uint32_t>(stripe), false);
  } else {
    // Nobody to ask: the library polls the drive until it is ready (an
    // autoloader, or someone loading the volume meanwhile).  A request for
    // action is shown even with --quiet.
    console_.Announce(text +
                      "; going on when the drive is ready (Ctrl-C gives up)");
  }
}

// On disk the library asks for a volume only when the file it found is out
// of sequence, and it would reopen the same file at once, forever: with
// nobody to replace it, give the restore up.  The stripe's error names the
// file; no note about mounting comes first, since nothing can be mounted.
void HostSession::GiveUpOutOfOrderDisk(int stripe, const char *device,
                                       const char *volume) {
  const std::string file =
      std::string(device) + "." + (volume != nullptr ? volume : "?");
  const std::string cause =
      file + " is not volume " + (volume != nullptr ? volume : "?") +
      (stripe >= 0 ? " of stripe " + std::to_string(stripe) : "") +
      HeldVolume(file) +
      ": the volume files are out of order; nobody can replace a disk "
      "volume during a restore";
  if (stripe >= 0) {
    watch_.GiveUp(static_cast<uint32_t>(stripe), cause);
  } else {
    watch_.GiveUpRun();
    Error(cause);
  }
}

void HostSession::OnVolumeStarted(const std::string &text,
                                  const KorMessageArg *args) {
  const char *volume = ArgText(args, 0);
  const char *device = ArgText(args, 1);
  if (volume != nullptr && device != nullptr) {
    const int stripe = devices_.StripeOf(device);
    if (stripe >= 0) {
      console_.SetVolume(static_cast<size_t>(stripe),
                         std::string(volume).substr(0, 8));
    }
  }
  Note(text);
}

void HostSession::OnSmallCapacity(const std::string &text,
                                  const KorMessageArg *args) {
  // It matters only to a backup, which fills volumes; every stripe sends it
  // for the same setting: once.
  if (options_.command != "backup" || !console_.FirstTime(text)) return;
  const char *value = ArgText(args, 0);
  const int64_t asked = value != nullptr ? std::strtoll(value, nullptr, 10) : 0;
  // What the library makes of it.
  const int64_t kb = CapacityKbKept(asked);
  Note("capacity=" + std::string(value != nullptr ? value : "?") +
       ": each volume holds at most " + std::to_string(kb) + " KB of data");
}

void HostSession::OnVolumeError(const std::string &text,
                                const KorMessageArg *args) {
  const char *device = ArgText(args, 0);
  const char *reason = ArgText(args, 1);
  // A disk volume out of order: the mount request that follows is where
  // korbr names the file and gives up.
  if (device != nullptr && reason != nullptr && !IsTapeDevname(device) &&
      std::strcmp(reason, kOutOfOrderReason) == 0) {
    return;
  }
  if (device != nullptr && reason != nullptr &&
      std::strstr(reason, "write protected") != nullptr) {
    const int stripe = devices_.StripeOf(device);
    if (stripe >= 0) watch_.MarkWriteProtected(static_cast<uint32_t>(stripe));
  }
  Note(text);
}

}  // namespace cli
}  // namespace kor
