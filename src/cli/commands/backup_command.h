// korbr backup: reads a data stream (a file or standard input) and writes
// it through libkorbr onto the archive devices of one or more stripes, in
// the stream format of cli/stream_format.h.
//
// One thread per stripe opens its handle and writes its requests; the
// main thread reads the input, frames it, hashes it and deals the frames
// round-robin into per-stripe bounded queues.  The trailers, which make the
// backup restorable, are written only when the whole input was read and
// every stripe is still healthy.
#ifndef KORBR_CLI_BACKUP_COMMAND_H_
#define KORBR_CLI_BACKUP_COMMAND_H_

namespace kor {
namespace cli {

// argv[0] is "backup".  Returns the exit code.
int RunBackupCommand(int argc, char **argv);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_BACKUP_COMMAND_H_
