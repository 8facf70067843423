// korbr restore: reads the stripes of a backup made by 'korbr backup'
// through libkorbr and writes the exact stream to a file or standard
// output.
//
// One thread per stripe opens its handle, reads its requests into a
// bounded queue and checks each frame's checksum; the main thread takes the
// frames in sequence order and checks each one (cli/stream_format.h,
// StreamChecker); then, each in its own thread, zstd decompresses (when the
// backup was compressed), SHA-256 hashes and the output is written; finally
// the trailers' length and SHA-256 are checked.  Success is
// reported only for the whole, verified stream: on any failure a file
// output is removed (it is written under a temporary name and renamed only
// at the end), and for standard output korbr says that what was written is
// incomplete.
#ifndef KORBR_CLI_RESTORE_COMMAND_H_
#define KORBR_CLI_RESTORE_COMMAND_H_

namespace kor {
namespace cli {

// argv[0] is "restore".  Returns the exit code.
int RunRestoreCommand(int argc, char **argv);

// korbr verify: the same reading and checking, writing nothing; exit 0
// only when a restore would succeed.  argv[0] is "verify".
int RunVerifyCommand(int argc, char **argv);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_RESTORE_COMMAND_H_
