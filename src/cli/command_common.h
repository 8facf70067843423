// Exit codes and the usage-error line shared by korbr's commands.
#ifndef KORBR_CLI_COMMAND_COMMON_H_
#define KORBR_CLI_COMMAND_COMMON_H_

#include <cstdio>
#include <string>

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

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_COMMAND_COMMON_H_
