// commands/: options in, a run built, an exit code out.
//
// What korbr's commands share: exit codes, the usage-error line, and the
// options (with their checks) of every command that drives the library.
#ifndef KORBR_CLI_COMMAND_COMMON_H_
#define KORBR_CLI_COMMAND_COMMON_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options/arg_parser.h"
#include "cli/options/device_string_check.h"
#include "cli/options/environment_check.h"
#include "cli/session/host_session.h"
#include "cli/session/run_report.h"
#include "cli/format/stream_format.h"
#include "os/file_mode.h"

namespace kor {
namespace cli {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// "korbr COMMAND: ERROR" and a pointer to --help on standard error;
// returns kExitUsage.
inline int UsageError(const std::string &command, const std::string &error) {
  std::fprintf(stderr, "korbr %s: %s\nTry 'korbr %s --help'.\n",
               command.c_str(), error.c_str(), command.c_str());
  return kExitUsage;
}

// Parses a command's arguments against `specs` into *args.  -1 when the
// command is to go on; otherwise the exit code, after a usage error or the
// help `print_help` printed for --help.
inline int ReadCommandArgs(const std::string &command,
                           const std::vector<OptionSpec> &specs, int argc,
                           char **argv, void (*print_help)(),
                           ParsedArgs *args) {
  std::string error;
  if (!ParseArgs(specs, argc - 1, argv + 1, args, &error)) {
    return UsageError(command, error);
  }
  if (args->Has("help")) {
    print_help();
    return kExitSuccess;
  }
  return -1;
}

// The --stripes option; `default_text` says what it is when absent.
inline OptionSpec StripesOption(const char *default_text) {
  return {"stripes", 's', true, false, "N", default_text};
}

// Reads --stripes (1..32) into *stripes, leaving it 0 when the option is
// absent.  False with *error set when the value is not such a number.
inline bool ParseStripesOption(const ParsedArgs &args, uint64_t *stripes,
                               std::string *error) {
  *stripes = 0;
  if (!args.Has("stripes") ||
      ParseCount(args.Value("stripes"), 1, kMaxStripes, stripes))
    return true;
  *error = "--stripes must be a number from 1 to 32, not '" +
           args.Value("stripes") + "'";
  return false;
}

// Checks every stripe's device string as the library would, naming the
// wrong key or value.  False with a usage error in `error` otherwise.
inline bool CheckDeviceStrings(const std::vector<std::string> &devices,
                               std::string *error) {
  for (size_t s = 0; s < devices.size(); ++s) {
    std::string why;
    if (!CheckDeviceString(devices[s], &why)) {
      *error =
          (devices.size() > 1 ? "stripe " + std::to_string(s) + ": " : "") +
          "bad device string: " + why + "\n" + kDeviceStringRules;
      return false;
    }
  }
  return true;
}

// The options of every command that drives the library.
const OptionSpec kDeviceOption = {
    "device", 'd', true, true, "DEVSTRING",
    "archive device string; {stripe} becomes the stripe number (give it "
    "once, or once per stripe)"};
const OptionSpec kQuietOption = {
    "quiet", 'q', false, false, nullptr,
    "no notes and no progress line (requests for action are still shown)"};
const OptionSpec kTraceOption = {
    "trace", 0, true, false, "[=MASK]",
    "the library's trace log (off by default; MASK as KORDBG, default 252) "
    "on standard output, or standard error when the data goes there"};
const OptionSpec kTraceFileOption = {
    "trace-file", 0, true, false, "FILE",
    "append the library's trace log to FILE, a regular file (turns the "
    "trace on)"};
const OptionSpec kWaitTimeoutOption = {
    "wait-timeout", 0, true, false, "SECONDS",
    "give up a wait for disk space, a drive or a volume after SECONDS "
    "(default: until Ctrl-C on a terminal, else one hour)"};

const OptionSpec kProgressOption = {
    "progress", 0, false, false, nullptr,
    "show the progress line on standard error even when it is not a "
    "terminal (not with --quiet)"};
const OptionSpec kJsonReportOption = {
    "json", 0, true, false, "FILE",
    "write the run's totals, or its error, to FILE as JSON (replaced "
    "whole, success or failure)"};

// The options of a command that drives the library: --device, then the
// command's `own` ones, then the session's options and --help, in
// the order its help lists them.
inline std::vector<OptionSpec> LibraryCommandOptions(
    const std::vector<OptionSpec> &own) {
  std::vector<OptionSpec> specs = {kDeviceOption};
  specs.insert(specs.end(), own.begin(), own.end());
  for (const OptionSpec &option :
       {kQuietOption, kProgressOption, kJsonReportOption, kTraceOption,
        kTraceFileOption, kWaitTimeoutOption}) {
    specs.push_back(option);
  }
  specs.push_back(
      {"help", 'h', false, false, nullptr, "show this help and exit"});
  return specs;
}

// Reads --quiet, --trace, --trace-file and --wait-timeout into `options`
// (with `command` set).  False with a usage error otherwise.
inline bool ParseSessionOptions(const std::string &command,
                                const ParsedArgs &args, SessionOptions *options,
                                std::string *error) {
  options->command = command;
  options->quiet = args.Has("quiet");
  options->progress = args.Has("progress");
  options->json_file = args.Value("json");
  options->trace_file = args.Value("trace-file");
  options->trace = args.Has("trace") || args.Has("trace-file");
  if (args.Has("trace") && !args.Value("trace").empty()) {
    uint64_t mask = 0;
    if (!ParseCount(args.Value("trace"), 0, 255, &mask)) {
      *error = "--trace=MASK needs a number from 0 to 255, not '" +
               args.Value("trace") + "'";
      return false;
    }
    options->trace_mask = static_cast<int>(mask);
  }
  if (args.Has("wait-timeout")) {
    uint64_t seconds = 0;
    if (!ParseCount(args.Value("wait-timeout"), 1, 365ull * 24 * 3600,
                    &seconds)) {
      *error = "--wait-timeout must be a number of seconds, not '" +
               args.Value("wait-timeout") + "'";
      return false;
    }
    options->wait_timeout_seconds = static_cast<int64_t>(seconds);
  }
  return true;
}

// A run that fails before its session starts still leaves its --json
// report.  Returns kExitFailure.
inline int FailBeforeRun(const SessionOptions &options,
                         const std::string &error) {
  if (options.json_file.empty()) return kExitFailure;
  RunTotals totals;
  totals.command = options.command;
  totals.error = error;
  totals.stripes = static_cast<uint32_t>(options.devices.size());
  std::string why;
  if (!WriteRunReport(options.json_file, RunReportJson(totals),
                      options.file_mode, &why)) {
    std::fprintf(stderr, "korbr %s: %s\n", options.command.c_str(),
                 why.c_str());
  }
  return kExitFailure;
}

// The mode of the files korbr makes that hold backup data or its traces
// (a restore's output, --trace-file): the library's rule, read before any
// work starts so that a value the library would refuse stops korbr at once.
// False with *error set.
inline bool BackupFileModeOption(uint32_t *mode, std::string *error) {
  const char *text = std::getenv(kFileModeVariable);
  *mode = kDefaultBackupFileMode;
  if (text == nullptr || ParseBackupFileMode(text, mode)) return true;
  *error = std::string(kFileModeRule) + ", not '" + text + "'";
  return false;
}

// KORDBG, KORIOPROF and KOR_S3_RETRIES as the library would misread or
// refuse them, stopped before any work starts.  False with *error set.
inline bool LibraryEnvironmentOption(std::string *error) {
  return CheckLibraryEnvironment(
      [](const char *name) -> const char * { return std::getenv(name); },
      error);
}

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_COMMAND_COMMON_H_
