// korbr digest [--request-size N] FILE|-: the content seal of any input,
// the one a backup of it with that request size records and shows, so a
// dump can be matched against a backup without restoring it.
#ifndef KORBR_CLI_DIGEST_COMMAND_H_
#define KORBR_CLI_DIGEST_COMMAND_H_

namespace kor {
namespace cli {

// argv[0] is "digest".  Returns the exit code.
int RunDigestCommand(int argc, char **argv);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_DIGEST_COMMAND_H_
