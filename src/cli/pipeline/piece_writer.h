// Writes a stream handed over in pieces (the payloads of restored frames)
// to a file descriptor, in order, without copying them.
//
// Aligned mode, for regular files: every write(2) but the last begins and
// ends on a 4 KiB file offset.  A frame's payload is not a multiple of the
// page size, and writes that straddle pages cost the page cache markedly
// more than whole-page writes (the kernel's copy dominated a profile of the
// restore).  So the writer gathers the sub-page tail of one piece with the
// next piece in one writev(2); it holds back at most the piece whose tail
// is pending, which the caller gets back once it is written.
//
// Direct mode (pipes, terminals, devices): each piece is written as it
// comes and given back at once.
#ifndef KORBR_CLI_PIECE_WRITER_H_
#define KORBR_CLI_PIECE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace kor {
namespace cli {

struct Piece {
  const uint8_t *data = nullptr;
  size_t length = 0;
  void *owner = nullptr;  // returned to the caller once written
};

class PieceWriter {
 public:
  static constexpr uint64_t kPage = 4096;

  PieceWriter(int fd, bool aligned, uint64_t start_offset = 0)
      : fd_(fd), aligned_(aligned), offset_(start_offset) {}

  // Queues `piece` and writes what can be written.  The owners of the
  // pieces written completely are appended to `done`.  False on a write
  // error (errno tells which); nothing more may be added then.
  bool Add(const Piece &piece, std::vector<void *> *done);
  // Writes whatever is held back.  False on a write error.
  bool Flush(std::vector<void *> *done);
  // Owners still held back (after a failure: to be reclaimed).
  void TakePending(std::vector<void *> *owners);
  uint64_t bytes_written() const { return written_; }

 private:
  // Writes `length` bytes from the front of the held pieces.
  bool WriteHeld(uint64_t length, std::vector<void *> *done);

  int fd_;
  bool aligned_;
  uint64_t offset_;  // file offset of the first held byte
  uint64_t written_ = 0;
  std::deque<Piece> held_;  // the front one may be partly written
  uint64_t held_bytes_ = 0;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_PIECE_WRITER_H_
