// The host side shared by the commands that drive the library: the owner
// that wires the session's parts, and the operator dialogue.
#include "cli/session/host_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cli/format/label_decode.h"
#include "cli/format/volume_locator.h"
#include "cli/objects/object_probe.h"
#include "cli/options/device_list.h"
#include "cli/session/message_texts.h"
#include "cli/session/run_report.h"
#include "cli/session/secret_guard.h"
#include "cli/session/store_advice.h"
#include "cli/session/tape_capacity.h"
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

// The system's text for a tape write at the end of the cartridge.
constexpr char kEndOfMediaText[] = "End of the tape media";

// The reason of the 6920 the library sends before asking for the right
// volume in place of one out of sequence.
constexpr char kOutOfOrderReason[] = "Tapes out of order";

// What a disk volume file holds instead, from its VOL1 label: " (it holds
// volume V of stripe S)", or "" when that cannot be read.
std::string HeldVolume(const std::string &file, int stripe, int volume) {
  const std::string held = VolumeHeldInstead(file, stripe, volume);
  return held.empty() ? "" : " (it holds " + held + ")";
}

// An operator at a terminal ends a wait with Ctrl-C; with nobody there a
// wait ends after an hour unless --wait-timeout says otherwise.
WaitWatch::Policy WaitPolicy(const SessionOptions &options) {
  WaitWatch::Policy policy;
  policy.writing = options.command == "backup";
  policy.operator_present = isatty(0) && !options.data_from_stdin;
  policy.timeout_given = options.wait_timeout_seconds > 0;
  if (policy.timeout_given) {
    policy.timeout_ms = options.wait_timeout_seconds * 1000;
  } else if (!policy.operator_present) {
    policy.timeout_ms = int64_t{3600} * 1000;
  }
  return policy;
}

}  // namespace

HostSession::HostSession() = default;

HostSession::HostSession(const InterruptSource &interrupts)
    : interrupts_(&interrupts) {}

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
  watch_.Start(WaitPolicy(options));
  return true;
}

void HostSession::SetDevices(const std::vector<std::string> &devices,
                             const std::string &dbname) {
  devices_.Set(devices, dbname);
  console_.SetStripeCount(devices.size());
}

std::string HostSession::ExplainFailure(
    uint32_t stripe, const std::string &library_text) const {
  const std::string text = watch_.ExplainFailure(stripe, library_text);
  if (text != library_text) return text;
  std::string advice;
  if (library_text.find(kEndOfMediaText) != std::string::npos) {
    advice = EndOfTapeAdvice(devices_.DeviceOf(stripe));
  } else if (!UnexplainedStoreObject(library_text).empty()) {
    const std::string why =
        AskStoreWhy(UnexplainedStoreObject(library_text));
    if (!why.empty()) advice = "the store answers " + why;
  } else {
    const char *ca_bundle = std::getenv("AWS_CA_BUNDLE");
    advice = StoreFailureAdvice(library_text,
                                ca_bundle != nullptr ? ca_bundle : "");
  }
  return advice.empty() ? text : text + ": " + advice;
}

void HostSession::SupplyTapeCapacities(std::vector<std::string> *devices) {
  for (std::string &device : *devices) {
    std::string note;
    device = WithFittingCapacity(device, &note);
    if (note.empty()) continue;
    capacity_supplied_ = true;
    if (console_.FirstTime(note)) Note(note);
  }
}

void HostSession::StartProgress(uint32_t stripes) {
  // A trace on the same terminal would break into the progress line.
  const bool trace_on_terminal = trace_on_ && options_.trace_file.empty() &&
                                 (options_.data_to_stdout || isatty(1));
  console_.SetVolumeProbe([this](size_t stripe, uint64_t at) {
    return ProbeVolume(stripe, at);
  });
  console_.StartProgress(stripes, trace_on_terminal, options_.progress);
}

// The library names a new volume (9235, 9236) only to an operator at an
// attended tape drive; on disk, on object storage and on unattended tape
// it says nothing, so the volume is worked out here.  A disk stripe's
// volume is found in its files: the one a backup has open is the first
// without closing labels; otherwise the one whose data holds the stripe's
// last byte so far.  Elsewhere, with at most `capacity` bytes of data per
// volume, it is reckoned from the stripe's position.  "" when it cannot
// be told.
std::string HostSession::ProbeVolume(size_t stripe, uint64_t at) const {
  const std::string device = devices_.DeviceOf(static_cast<uint32_t>(stripe));
  const std::string devname = DevnameOf(device);
  if (devname.empty() || at == 0) return "";
  const bool object = devname.compare(0, 5, "s3://") == 0;
  if (!object && !IsTapeDevname(devname)) {
    std::string file;
    if (options_.command == "backup") file = DiskVolumeBeingWritten(devname);
    if (file.empty()) file = DiskVolumeAt(devname, at - 1);
    const size_t dot = file.rfind('.');
    return dot == std::string::npos ? "" : file.substr(dot + 1);
  }
  const std::string capacity = DeviceStringValue(device, "capacity");
  if (capacity.empty() && !object) return "";  // a tape fills when it fills
  const uint64_t per_volume =
      capacity.empty()
          ? kDefaultCapacity
          : static_cast<uint64_t>(CapacityKbKept(std::strtoll(
                capacity.c_str(), nullptr, 10))) * 1024;
  return std::to_string(1 + (at - 1) / per_volume);
}

void HostSession::CountVolumes() { console_.ProbeVolumes(); }

bool HostSession::Finish(bool ok) {
  console_.ProbeVolumes();
  RunTotals totals;
  totals.command = options_.command;
  totals.ok = ok;
  totals.error = console_.FirstError();
  if (!ok && totals.error.empty()) totals.error = "the run failed";
  totals.data_bytes = console_.bytes_done();
  totals.seconds = console_.Elapsed();
  const std::vector<std::string> volumes = console_.volumes();
  totals.stripes = static_cast<uint32_t>(volumes.size());
  bool counted = !volumes.empty();
  for (size_t s = 0; s < volumes.size(); ++s) {
    totals.stored_bytes += console_.stripe_bytes(s);
    const uint64_t n = std::strtoull(volumes[s].c_str(), nullptr, 10);
    counted = counted && n > 0;
    totals.volumes += n;
  }
  if (!counted) totals.volumes = 0;
  if (ok) Note(options_.command + ": " + ClosingLine(totals));
  if (options_.json_file.empty()) return true;
  std::string error;
  if (WriteRunReport(options_.json_file, RunReportJson(totals),
                     options_.file_mode, &error)) {
    return true;
  }
  Error(error);
  return false;
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
    console_.SetVolume(static_cast<size_t>(stripe),
                       std::string(volume).substr(0, 8));
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
      HeldVolume(file, stripe,
                 volume != nullptr ? std::atoi(volume) : 0) +
      ": the volume files are out of order, and nobody can replace a disk "
      "volume during a " +
      options_.command +
      ": rename the files so that each holds the volume its number names "
      "('korbr labels FILE' shows what a file holds), then " +
      options_.command + " again";
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
  // A capacity korbr supplied was announced already.
  if (options_.command != "backup" || capacity_supplied_ ||
      !console_.FirstTime(text)) {
    return;
  }
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
