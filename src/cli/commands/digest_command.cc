// korbr digest.
#include "cli/commands/digest_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands/command_common.h"
#include "cli/format/content_seal.h"
#include "cli/format/hash_pool.h"
#include "cli/options/arg_parser.h"

namespace kor {
namespace cli {
namespace {

const std::vector<OptionSpec> &DigestOptions() {
  static const std::vector<OptionSpec> specs = {
      {"request-size", 'r', true, false, "BYTES",
       "the request size of the backup to match, 4K to 16M, suffix K or M "
       "allowed (default 64K, the backup's default)"},
      {"help", 'h', false, false, nullptr, "show this help and exit"},
  };
  return specs;
}

void PrintDigestHelp() {
  std::printf(
      "Usage: korbr digest [--request-size BYTES] FILE|-\n"
      "\n"
      "Prints the content seal of FILE (standard input for \"-\"): the one\n"
      "that a backup of it with that request size records, whatever its\n"
      "stripes or compression, and that 'korbr backup', 'korbr verify' and\n"
      "'korbr labels' show.  Equal seals mean equal contents, so a dump\n"
      "can be matched against a backup without restoring it.  The input is\n"
      "hashed on every processor.\n"
      "\n"
      "Options:\n%s"
      "\n"
      "Exit status: 0 success, 1 the input could not be read, 2 usage "
      "error.\n",
      OptionsHelp(DigestOptions()).c_str());
}

}  // namespace

int RunDigestCommand(int argc, char **argv) {
  const std::string command = "digest";
  ParsedArgs args;
  if (const int code = ReadCommandArgs(command, DigestOptions(), argc, argv,
                                       PrintDigestHelp, &args);
      code >= 0)
    return code;
  uint64_t request_size = 65536;
  if (args.Has("request-size") &&
      (!ParseByteSize(args.Value("request-size"), &request_size) ||
       request_size < kMinRequestSize || request_size > kMaxRequestSize)) {
    return UsageError(command, "--request-size must be 4K to 16M bytes, not '" +
                                   args.Value("request-size") + "'");
  }
  if (args.operands().size() != 1) {
    return UsageError(command, "give exactly one FILE, or - for standard input");
  }
  const std::string name = args.operands().front();
  const int fd =
      name == "-" ? STDIN_FILENO : open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "korbr digest: cannot open %s: %s\n", name.c_str(),
                 std::strerror(errno));
    return kExitFailure;
  }
  HashPool pool(0);
  Sha256Digest seal;
  uint64_t length = 0;
  std::string why;
  const bool ok =
      ContentSealOf(fd, ContentChunkSize(static_cast<uint32_t>(request_size)),
                    &pool, &seal, &length, &why);
  if (fd != STDIN_FILENO) close(fd);
  if (!ok) {
    std::fprintf(stderr, "korbr digest: reading %s failed: %s\n",
                 name.c_str(), why.c_str());
    return kExitFailure;
  }
  std::printf("%s  %s\n", DigestHex(seal).c_str(), name.c_str());
  return kExitSuccess;
}

}  // namespace cli
}  // namespace kor
