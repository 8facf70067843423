// Exit codes and the usage-error line shared by korbr's commands.
#ifndef KORBR_CLI_COMMAND_COMMON_H_
#define KORBR_CLI_COMMAND_COMMON_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/arg_parser.h"
#include "cli/stream_format.h"

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

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_COMMAND_COMMON_H_
