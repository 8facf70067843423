// Exit codes and the usage-error line shared by korbr's commands.
#ifndef KORBR_CLI_COMMAND_COMMON_H_
#define KORBR_CLI_COMMAND_COMMON_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/arg_parser.h"
#include "cli/stream_format.h"
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

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_COMMAND_COMMON_H_
