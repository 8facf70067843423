// korbr list DIR|PREFIX [--json]: the backup sets found in a directory or
// under a prefix, read from the volume files' labels and korbr's stream
// header and trailer (never the data between them): per set its prefix,
// stripes, volumes, stored and input bytes, creation time, stream format,
// compression, encryption, and whether it is complete or why not.  Exit 0
// when the place could be read (whatever the sets' state), 1 when not.
#ifndef KORBR_CLI_LIST_COMMAND_H_
#define KORBR_CLI_LIST_COMMAND_H_

namespace kor {
namespace cli {

// argv[0] is "list".  Returns the exit code.
int RunListCommand(int argc, char **argv);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_LIST_COMMAND_H_
