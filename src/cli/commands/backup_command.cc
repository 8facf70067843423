// korbr backup.
#include "cli/commands/backup_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands/command_common.h"
#include "cli/options/arg_parser.h"
#include "cli/options/device_list.h"
#include "cli/options/encryption_options.h"
#include "cli/pipeline/backup_run.h"
#include "cli/session/host_session.h"
#include "cli/setlife/backup_set.h"
#include "cli/format/stream_crypto.h"
#include "cli/format/stream_format.h"
#include "cli/format/zstd_codec.h"

namespace kor {
namespace cli {
namespace {

const std::vector<OptionSpec> &BackupOptions() {
  static const std::vector<OptionSpec> specs = LibraryCommandOptions({
      StripesOption(
          "number of stripes, 1 to 32 (default: 1, or one per --device)"),
      {"request-size", 'r', true, false, "BYTES",
       "bytes per request, 4K to 16M, suffix K or M allowed (default 64K)"},
      {"dbname", 0, true, false, "NAME",
       "database name recorded with the backup (at most 30 bytes)"},
      {"compress", 'z', true, false, "zstd[:LEVEL]",
       "compress the stream with zstd (LEVEL 1 to 19, default 3) on every "
       "core; restore decompresses by itself"},
      {"keep-partial", 0, false, false, nullptr,
       "keep the volume files (or objects) of a backup that fails, for "
       "diagnosis (by default they are removed)"},
      {"replace", 0, false, false, nullptr,
       "write over a backup on an s3:// prefix in place (refused "
       "otherwise: objects cannot be renamed, so a failure loses it)"},
      kEncryptToOption,
      kBackupPassphraseOption,
      {"format", 0, true, false, "VERSION",
       "stream format to write: 3 (default) or 2, for comparisons"},
  });
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
      "A device name is a disk prefix (volume files PREFIX.1, PREFIX.2, ...),\n"
      "a tape drive \\\\.\\NAME, or s3://BUCKET/KEY for object storage\n"
      "(objects KEY.1, KEY.2, ...; endpoint, region and credentials from the\n"
      "AWS_* variables).\n"
      "The backup locks its set for the whole run: a second backup or a\n"
      "restore of the same prefixes is refused meanwhile.  Onto disk\n"
      "prefixes that hold a backup already, the new one is written under\n"
      "staging names and replaces the old one only once it is whole; a\n"
      "backup that fails leaves the old one as it was and removes its own\n"
      "volume files.\n"
      "\n"
      "Options:\n%s"
      "\n"
      "Examples:\n"
      "  korbr backup --device "
      "'devname=/backups/sales.s{stripe};dbtype=ZDBn;capacity=1048576' \\\n"
      "      --stripes 4 sales.dump\n"
      "  pg_dump sales | korbr backup --stripes 2 \\\n"
      "      --device 'devname=/backups/sales.s{stripe};dbtype=ZDBn' -\n"
      "  korbr backup --device "
      "'devname=s3://backups/sales.s{stripe};dbtype=ZDBn' \\\n"
      "      --stripes 4 sales.dump\n"

      "  pg_dump -Fc sales | korbr backup --encrypt-to backup.pub.pem \\\n"
      "      --device 'devname=/backups/sales.s{stripe};dbtype=ZDBn' -\n"
      "\n"
      "Keys for --encrypt-to (the private one kept for 'korbr restore --key'):\n"
      "  openssl genpkey -algorithm X25519 -out backup.key.pem\n"
      "  openssl pkey -in backup.key.pem -pubout -out backup.pub.pem\n"
      "\n"
      "Exit status: 0 success, 1 failure, 2 usage error.\n",
      OptionsHelp(BackupOptions()).c_str());
}


// Reads what the backup is to do, in the order its usage errors are
// reported: stripes, request size, database name, INPUT, compression and
// the devices.  False with *error set.
bool ReadBackupPlan(const ParsedArgs &args, BackupPlan *plan,
                    std::vector<std::string> *devices, std::string *error) {
  uint64_t stripes = 0;
  if (!ParseStripesOption(args, &stripes, error)) return false;
  uint64_t request_size = 65536;
  if (args.Has("request-size") &&
      (!ParseByteSize(args.Value("request-size"), &request_size) ||
       request_size < kMinRequestSize || request_size > kMaxRequestSize)) {
    *error = "--request-size must be 4K to 16M bytes, not '" +
             args.Value("request-size") + "'";
    return false;
  }
  plan->request_size = static_cast<uint32_t>(request_size);
  plan->dbname = args.Has("dbname") ? args.Value("dbname") : "korbr";
  if (plan->dbname.size() > kMaxDbNameLength) {
    *error = "--dbname is longer than 30 bytes";
    return false;
  }
  if (args.operands().size() > 1) {
    *error = "more than one INPUT given";
    return false;
  }
  if (args.Has("compress") &&
      !ParseCompressOption(args.Value("compress"), &plan->zstd_level, error)) {
    return false;
  }
  if (args.Has("format")) {
    const std::string v = args.Value("format");
    if (v != "2" && v != "3") {
      *error = "--format must be 2 or 3, not '" + v + "'";
      return false;
    }
    plan->format_version = v == "2" ? 2 : 3;
  }
  if (!ExpandDevices(args.Values("device"), static_cast<uint32_t>(stripes),
                     devices, error) ||
      !CheckDeviceStrings(*devices, error)) {
    return false;
  }
  plan->stripes = static_cast<uint32_t>(devices->size());
  return true;
}

// Opens INPUT for reading; a directory is refused.  -1 with *error set.
int OpenInput(const std::string &input, std::string *error) {
  int fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    fd = -1;
    errno = EISDIR;
  }
  if (fd < 0) *error = "cannot open " + input + ": " + std::strerror(errno);
  return fd;
}

// The input's length when it is a regular file (its size is what will be
// read); 0 when it cannot be known beforehand.
uint64_t KnownInputSize(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

// An empty stream from a pipe is most often a producer that failed before
// writing anything; its exit status is lost unless the shell keeps it.
void WarnOfEmptyPipe(HostSession *session, int fd) {
  struct stat st;
  if (session->data_bytes() != 0 ||
      (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))) {
    return;
  }
  session->Warn(
      "the input was empty (0 bytes): the program feeding it may have "
      "failed; run the pipeline under 'set -o pipefail' so that its failure "
      "shows (see the README)");
}

}  // namespace

int RunBackupCommand(int argc, char **argv) {
  const std::string command = "backup";
  ParsedArgs args;
  if (const int code = ReadCommandArgs(command, BackupOptions(), argc, argv,
                                       PrintBackupHelp, &args);
      code >= 0)
    return code;
  std::string error;
  BackupPlan plan;
  std::vector<std::string> devices;
  if (!ReadBackupPlan(args, &plan, &devices, &error))
    return UsageError(command, error);
  uint32_t file_mode = 0;
  if (!BackupFileModeOption(&file_mode, &error))
    return UsageError(command, error);
  if (!LibraryEnvironmentOption(&error)) return UsageError(command, error);

  SessionOptions options;
  if (!ParseSessionOptions(command, args, &options, &error)) {
    return UsageError(command, error);
  }
  EncryptionFiles files;
  if (!ParseEncryptionOptions(args, true, &files, &error)) {
    return UsageError(command, error);
  }
  if (files.any() && plan.format_version < 3) {
    return UsageError(command, "encryption needs stream format 3");
  }
  const std::string input =
      args.operands().empty() ? "-" : args.operands().front();
  if (input == "-" && isatty(0)) {
    return UsageError(command,
                      "standard input is a terminal; give INPUT or redirect "
                      "standard input");
  }
  options.data_from_stdin = input == "-";
  options.file_mode = file_mode;
  options.devices = devices;
  plan.input_fd = input == "-" ? 0 : OpenInput(input, &error);
  if (plan.input_fd < 0) {
    std::fprintf(stderr, "korbr backup: %s\n", error.c_str());
    return FailBeforeRun(options, error);
  }
  const bool keep_partial = args.Has("keep-partial");
  BackupSet set;
  std::vector<std::string> write_devices;
  options.encrypted = files.any();
  HostSession session;
  // The session keeps the process out of core dumps before a key is read.
  EncryptionKeys keys;
  if (!set.Begin(devices, keep_partial, args.Has("replace"), &write_devices,
                 &error) ||
      !session.Start(options, &error) ||
      !ReadEncryptionKeys(files, &keys, &error)) {
    std::fprintf(stderr, "korbr backup: %s\n", error.c_str());
    if (plan.input_fd != 0) close(plan.input_fd);
    return FailBeforeRun(options, error);
  }
  if (files.any()) plan.encryption = &keys;
  session.SupplyTapeCapacities(&write_devices);
  session.SetDevices(write_devices, plan.dbname);
  session.SetExpectedTotal(KnownInputSize(plan.input_fd), false);
  bool whole = RunBackup(&session, plan);
  session.CountVolumes();
  whole = set.End(whole, keep_partial, &session);
  if (whole) WarnOfEmptyPipe(&session, plan.input_fd);
  if (plan.input_fd != 0) close(plan.input_fd);
  whole = session.Finish(whole) && whole;
  return whole ? kExitSuccess : kExitFailure;
}

}  // namespace cli
}  // namespace kor
