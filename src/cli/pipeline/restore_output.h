// Where a restore puts the stream: standard output, a device or pipe
// written in place, or a regular file made under a temporary name and
// renamed into place once the stream is verified.
#ifndef KORBR_CLI_RESTORE_OUTPUT_H_
#define KORBR_CLI_RESTORE_OUTPUT_H_

#include <cstdint>
#include <string>

namespace kor {
namespace cli {

// Where the restored stream goes.  A regular file is written under a
// temporary name beside it and renamed into place only when the stream
// has been verified, so a failed restore never leaves a partial file (nor
// harms an existing one).  mkstemp makes the temporary file with O_EXCL, so
// nothing planted at its name (a link) is ever written through, and it
// holds the database from its first byte: it gets the backup file mode.
struct Output {
  std::string path;       // as given; "-" for standard output
  std::string temporary;  // the name written to, "" when written directly
  uint32_t mode = 0600;   // of the file written
  int fd = -1;
  bool to_stdout = false;
  bool direct = false;       // a device or a pipe, written in place
  bool verify_only = false;  // korbr verify: nothing is written
  bool renamed = false;      // the verified file is in place under `path`

  // Before the session starts.  False with a reason.
  bool Open(std::string *error);
  // After the stream was verified.  A pipe or a device that took every
  // byte is done; a file is flushed, renamed into place and its directory
  // synced, so that "restored" survives a power cut.
  bool Commit(std::string *error);
  // After a failure: nothing partial stays behind.
  void Discard();
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_RESTORE_OUTPUT_H_
