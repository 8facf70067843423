// The file work the parts of a virtual tape drive share (virtual_tape.h):
// backup files opened safely, small files read and replaced whole, and
// positioned reads.  POSIX only; internal to os/tape/.
#ifndef KORBR_OS_TAPE_VTAPE_FILES_H_
#define KORBR_OS_TAPE_VTAPE_FILES_H_

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kor {
namespace vtape {

// The system's words for `err`.
std::string ErrnoWords(int err);

// Opens `path` with `flags` as a file that holds backup data: never through
// a link planted at its name (O_NOFOLLOW), and with the backup file mode
// whatever the umask.  The descriptor, or -1 with *why set
// ("<doing> <path>: <reason>").
int OpenBackupFile(const std::string &path, int flags, const char *doing,
                   std::string *why);

// Reads a whole (small, at most 1 MiB) file.  False with errno set.
bool ReadSmallFile(const std::string &path, std::string *text);

// Writes all `size` bytes at the descriptor's offset.  False with errno set
// (or left 0 when the file took nothing).
bool WriteAll(int fd, const void *data, size_t size);

// Replaces `path` with `text` atomically: a temporary file in the same
// directory, flushed to disk, renamed over it.  The caller holds the
// drive's lock, so one temporary name serves all writers.  False with *why.
bool ReplaceSmallFile(const std::string &path, const std::string &text,
                      std::string *why);

// Reads `size` bytes at `offset`: the count read (less only at the end of
// the file), or -1 with errno set.
ssize_t ReadAt(int fd, void *buffer, size_t size, uint64_t offset);

// The parts of `parts` (`count` of them, at most 3) that remain after the
// first `skip` bytes, into `now`; gives how many.  For transfers of one
// record in several parts that the system may take in pieces.
int RemainingParts(const struct iovec *parts, int count, size_t skip,
                   struct iovec *now);

}  // namespace vtape
}  // namespace kor

#endif  // KORBR_OS_TAPE_VTAPE_FILES_H_
