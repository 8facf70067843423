// korbr restore.
#include "cli/commands/restore_command.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands/command_common.h"
#include "cli/format/backup_sets.h"
#include "cli/format/volume_locator.h"
#include "cli/options/arg_parser.h"
#include "cli/options/device_list.h"
#include "cli/options/encryption_options.h"
#include "cli/format/stream_crypto.h"
#include "cli/pipeline/restore_output.h"
#include "cli/pipeline/restore_run.h"
#include "cli/session/host_session.h"
#include "cli/setlife/set_lock.h"
#include "cli/setlife/set_staging.h"

namespace kor {
namespace cli {
namespace {

const std::vector<OptionSpec> &RestoreOptions() {
  static const std::vector<OptionSpec> specs = LibraryCommandOptions({
      StripesOption("number of stripes, 1 to 32 (default: what the backup "
                    "recorded, or one per --device)"),
      kKeyOption,
      kRestorePassphraseOption,
  });
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
      "named with its stripe, volume file and frame.  An encrypted backup\n"
      "without --key or --passphrase-file is checked as stored (its frames'\n"
      "SHA-256 and the stored seal); its authenticity needs the key.\n"
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
      "  korbr restore --key backup.key.pem --device "
      "'devname=/backups/sales.s{stripe};dbtype=ZDBn' - |\n"
      "      pg_restore -d sales\n"
      "\n"
      "Exit status: 0 success, 1 failure, 2 usage error.\n",
      OptionsHelp(RestoreOptions()).c_str());
}

// The length of the stream a restore will give, read from the trailer of
// the first stripe when it is on disk; without a readable trailer, the
// data its volumes hold times the stripes is a fair guess (*estimated).
// 0 when it cannot be told (tape, object storage, no header).
void ExpectedStreamLength(const std::string &device, uint64_t *total,
                          bool *estimated) {
  *total = 0;
  *estimated = false;
  const std::string devname = DevnameOf(device);
  if (devname.empty() || IsTapeDevname(devname) ||
      devname.compare(0, 5, "s3://") == 0) {
    return;
  }
  const StripeFiles stripe = ReadStripe(devname);
  if (stripe.have_trailer) {
    *total = stripe.trailer.total_bytes;
  } else if (stripe.have_header) {
    uint64_t data = 0;
    for (const VolumeFile &v : stripe.volumes) {
      data += v.file_size - std::min<uint64_t>(v.file_size, kVolumeHeadSize +
                                                                kVolumeTailSize);
    }
    *total = data * stripe.header.stripe_count;
    *estimated = true;
  }
}

// A backup replacing this set would pull its volumes away mid-read.  A
// replacement a killed backup left half done is finished first, which
// takes the set for a moment exclusively; then the set is held shared.
bool LockSetForReading(const std::vector<std::string> &devices,
                       const std::string &command, SetLock *lock,
                       std::string *error) {
  bool finished = false;
  if (HasInterruptedReplacement(devices) &&
      (!lock->Acquire(devices, command, true, error) ||
       !FinishInterruptedReplacement(devices, &finished, error)))
    return false;
  return lock->Acquire(devices, command, false, error);
}

// The library's part of a restore or verify: the session, the keys, the
// run and its report.
int RunWithSession(const std::string &command, const SessionOptions &options,
                   const EncryptionFiles &files, Output *output,
                   uint32_t stripes_given,
                   const std::vector<std::string> &templates) {
  HostSession session;
  // The session keeps the process out of core dumps before a key is read.
  DecryptionKeys keys;
  std::string error;
  if (!session.Start(options, &error) ||
      !ReadDecryptionKeys(files, &keys, &error)) {
    std::fprintf(stderr, "korbr %s: %s\n", command.c_str(), error.c_str());
    output->Discard();
    return FailBeforeRun(options, error);
  }
  session.SetDevices(options.devices, "");
  uint64_t total = 0;
  bool estimated = false;
  ExpectedStreamLength(options.devices.front(), &total, &estimated);
  session.SetExpectedTotal(total, estimated);
  bool whole = RunRestore(&session, output, stripes_given, templates, keys);
  whole = session.Finish(whole) && whole;
  return whole ? kExitSuccess : kExitFailure;
}

// restore and verify: `verify` writes nothing.
int RunReadingCommand(int argc, char **argv, bool verify) {
  const std::string command = verify ? "verify" : "restore";
  // verify takes the options of a restore.
  const std::vector<OptionSpec> &specs = RestoreOptions();
  ParsedArgs args;
  if (const int code =
          ReadCommandArgs(command, specs, argc, argv,
                          verify ? PrintVerifyHelp : PrintRestoreHelp, &args);
      code >= 0)
    return code;
  std::string error;
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
  EncryptionFiles files;
  if (!ParseEncryptionOptions(args, false, &files, &error)) {
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
  options.file_mode = file_mode;
  options.devices = devices;
  SetLock lock;
  if (!LockSetForReading(devices, command, &lock, &error)) {
    std::fprintf(stderr, "korbr %s: %s\n", command.c_str(), error.c_str());
    return FailBeforeRun(options, error);
  }
  if (!output.Open(&error)) {
    std::fprintf(stderr, "korbr %s: %s\n", command.c_str(), error.c_str());
    return FailBeforeRun(options, error);
  }

  options.data_to_stdout = output.to_stdout;
  options.encrypted = files.any();
  return RunWithSession(command, options, files, &output, stripes_given,
                        templates);
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
