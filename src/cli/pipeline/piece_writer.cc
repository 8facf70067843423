// Gathered, page-aligned writes of a stream's pieces.
#include "cli/pipeline/piece_writer.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kor {
namespace cli {
namespace {

constexpr size_t kMaxIov = 64;

}  // namespace

bool PieceWriter::Add(const Piece &piece, std::vector<void *> *done) {
  held_.push_back(piece);
  held_bytes_ += piece.length;
  if (!aligned_) return WriteHeld(held_bytes_, done);
  // Up to the last page boundary the held bytes reach.  When that leaves
  // more than the newest piece held (small pieces), write them all: the
  // caller's supply of pieces is bounded, so nothing may wait for long.
  const uint64_t end = offset_ + held_bytes_;
  const uint64_t cut = end - end % kPage;
  if (cut <= offset_) {
    return held_.size() > 2 ? WriteHeld(held_bytes_, done) : true;
  }
  return WriteHeld(cut - offset_, done);
}

bool PieceWriter::Flush(std::vector<void *> *done) {
  return WriteHeld(held_bytes_, done);
}

void PieceWriter::TakePending(std::vector<void *> *owners) {
  for (const Piece &p : held_) owners->push_back(p.owner);
  held_.clear();
  held_bytes_ = 0;
}

bool PieceWriter::WriteHeld(uint64_t length, std::vector<void *> *done) {
  while (length > 0) {
    struct iovec iov[kMaxIov];
    int count = 0;
    uint64_t gathered = 0;
    for (const Piece &p : held_) {
      if (count == static_cast<int>(kMaxIov) || gathered == length) break;
      const size_t take =
          static_cast<size_t>(std::min<uint64_t>(p.length, length - gathered));
      iov[count].iov_base = const_cast<uint8_t *>(p.data);
      iov[count].iov_len = take;
      gathered += take;
      ++count;
    }
    const ssize_t n = writev(fd_, iov, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    uint64_t advanced = static_cast<uint64_t>(n);
    length -= advanced;
    offset_ += advanced;
    written_ += advanced;
    held_bytes_ -= advanced;
    while (advanced > 0) {
      Piece &front = held_.front();
      const uint64_t step = std::min<uint64_t>(front.length, advanced);
      front.data += step;
      front.length -= static_cast<size_t>(step);
      advanced -= step;
      if (front.length == 0) {
        done->push_back(front.owner);
        held_.pop_front();
      }
    }
  }
  // Empty pieces at the front are written, too.
  while (!held_.empty() && held_.front().length == 0) {
    done->push_back(held_.front().owner);
    held_.pop_front();
  }
  return true;
}

}  // namespace cli
}  // namespace kor
