// Records and file marks in the loaded cartridge's image: a virtual
// drive's reads and writes at its position, with the framing of
// simh_image.h, and the rules of a tape (a write discards what follows it;
// a failed write leaves no half record).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "os/posix/retry.h"
#include "os/posix_os.h"
#include "os/tape/simh_image.h"
#include "os/tape/vtape_drive.h"
#include "os/tape/vtape_files.h"
#include "os/win32_codes.h"

// Cartridge images pass 2 and 4 GiB: positions go to pread() and pwrite()
// as off_t, which must not wrap (CMakeLists.txt sets _FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace kor {
namespace vtape {
bool VirtualDrive::Read(void *buffer, uint32_t length, uint32_t *done,
                        uint32_t *error) {
  *done = 0;
  *error = Ready(false);
  if (*error != 0) return false;
  uint32_t value = 0;
  *error = NextRecordLength(&value);
  if (*error != 0) return false;
  const uint64_t footprint = simh::RecordFootprint(value);
  if (value > length) {
    // As a Windows tape driver: the record is passed over and the reader
    // told that its buffer was too small.
    position_ += footprint;
    *error = kErrorMoreData;
    return false;
  }
  *error = ReadRecordData(buffer, value);
  if (*error != 0) return false;
  position_ += footprint;
  *done = value;
  return true;
}

uint32_t VirtualDrive::NextRecordLength(uint32_t *length) {
  uint8_t word[simh::kWordSize];
  const ssize_t n = ReadAt(image_fd_, word, sizeof word, position_);
  if (n < 0) return Win32ErrorFromErrno(errno);
  if (n == 0) return kErrorNoDataDetected;
  if (n < static_cast<ssize_t>(sizeof word)) return kErrorIoDevice;
  const uint32_t value = simh::LoadWord(word);
  switch (simh::ClassifyWord(value)) {
    case simh::WordKind::kTapeMark:
      position_ += simh::kWordSize;
      return kErrorFilemarkDetected;
    case simh::WordKind::kEndOfMedium:
      return kErrorNoDataDetected;
    case simh::WordKind::kInvalid:
      return kErrorIoDevice;
    case simh::WordKind::kRecord:
      break;
  }
  *length = value;
  return 0;
}

uint32_t VirtualDrive::ReadRecordData(void *buffer, uint32_t length) {
  // The data, its padding byte if any, and the closing length word.
  uint8_t tail[simh::kWordSize + 1];
  const size_t tail_size = simh::kWordSize + (length & 1u);
  const struct iovec parts[2] = {{buffer, length}, {tail, tail_size}};
  const size_t want = length + tail_size;
  size_t got = 0;
  while (got < want) {
    struct iovec now[2];
    const int count = RemainingParts(parts, 2, got, now);
    const ssize_t r = RetryOnInterrupt([&] {
      return ::preadv(image_fd_, now, count,
                      static_cast<off_t>(position_ + simh::kWordSize + got));
    });
    if (r < 0) return Win32ErrorFromErrno(errno);
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  if (got < want || simh::LoadWord(tail + (length & 1u)) != length)
    return kErrorIoDevice;  // a damaged or truncated image
  return 0;
}

uint32_t VirtualDrive::TruncateAtPosition() {
  struct stat st;
  if (::fstat(image_fd_, &st) != 0) return Win32ErrorFromErrno(errno);
  // An image hard-linked elsewhere (a drive directory copied with
  // `cp -al` as a snapshot) is not written in place, or the snapshot would
  // change with it.  The tape before the position is copied to a new
  // image that takes the cartridge's name; the other link keeps the old
  // one whole.  Images are written at a position (appending after the data
  // already there), so making a new empty file, as disk volumes do, would
  // lose what lies before it; the copy is paid only where a link exists.
  if (st.st_nlink > 1)
    return CopyImageApart(std::min<uint64_t>(position_, st.st_size));
  if (static_cast<uint64_t>(st.st_size) == position_) return 0;
  if (RetryOnInterrupt([&] {
        return ::ftruncate(image_fd_, static_cast<off_t>(position_));
      }) != 0)
    return Win32ErrorFromErrno(errno);
  return 0;
}

uint32_t VirtualDrive::CopyImageApart(uint64_t keep) {
  const std::string path = CartridgePath(dir_, cartridge_);
  // The drive is open exclusively for writing, so one temporary name
  // serves; whatever a crash left there is made anew.
  const std::string temp = path + ".tmp";
  ::unlink(temp.c_str());
  std::string why;
  errno = 0;
  const int fd =
      OpenBackupFile(temp, O_RDWR | O_CREAT | O_EXCL, "cannot write", &why);
  if (fd < 0) return errno != 0 ? Win32ErrorFromErrno(errno) : kErrorIoDevice;
  std::vector<uint8_t> buffer(std::min<uint64_t>(keep, 1u << 20));
  int err = 0;
  for (uint64_t at = 0; at < keep && err == 0;) {
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(keep - at, buffer.size()));
    const ssize_t got = ReadAt(image_fd_, buffer.data(), want, at);
    if (got != static_cast<ssize_t>(want)) {
      err = got < 0 ? errno : EIO;
    } else if (!WriteAll(fd, buffer.data(), want)) {
      err = errno != 0 ? errno : EIO;
    }
    at += want;
  }
  if (err == 0 && std::getenv("KOR_NO_FLUSH") == nullptr &&
      RetryOnInterrupt([&] { return ::fdatasync(fd); }) != 0)
    err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::close(fd);
    ::unlink(temp.c_str());
    return Win32ErrorFromErrno(err);
  }
  CloseImage();
  image_fd_ = fd;
  return 0;
}

uint32_t VirtualDrive::FailWrite(int err) {
  // No half record may stay behind: cut back to where the write began.
  RetryOnInterrupt(
      [&] { return ::ftruncate(image_fd_, static_cast<off_t>(position_)); });
  // The file system under the images filling up is the end of this tape.
  if (err == ENOSPC
#ifdef EDQUOT
      || err == EDQUOT
#endif
  )
    return kErrorEndOfMedia;
  return Win32ErrorFromErrno(err);
}

uint32_t VirtualDrive::WriteAtPosition(const struct iovec *parts, int count,
                                       uint64_t total) {
  uint64_t written = 0;
  while (written < total) {
    struct iovec now[3];
    const int left = RemainingParts(parts, count, written, now);
    const ssize_t r = RetryOnInterrupt([&] {
      return ::pwritev(image_fd_, now, left,
                       static_cast<off_t>(position_ + written));
    });
    if (r <= 0) return FailWrite(r < 0 ? errno : ENOSPC);
    written += static_cast<uint64_t>(r);
  }
  return 0;
}

bool VirtualDrive::Write(const void *buffer, uint32_t length, uint32_t *done,
                         uint32_t *error) {
  *done = 0;
  *error = MayWrite();
  if (*error != 0) return false;
  if (length == 0) {
    // Nothing to record, but the tape after the position is still given up.
    *error = TruncateAtPosition();
    return *error == 0;
  }
  if (length > state_.max_block || length > simh::kMaxRecordLength) {
    *error = kErrorInvalidParameter;
    return false;
  }
  const uint64_t footprint = simh::RecordFootprint(length);
  if (position_ + footprint > state_.capacity) {
    *error = kErrorEndOfMedia;
    return false;
  }
  *error = TruncateAtPosition();
  if (*error != 0) return false;
  simh::RecordFrame frame;
  simh::FrameRecord(length, &frame);
  const struct iovec parts[3] = {
      {frame.prefix, simh::kWordSize},
      {const_cast<void *>(buffer), length},
      {frame.suffix, frame.suffix_size},
  };
  *error = WriteAtPosition(parts, 3, footprint);
  if (*error != 0) return false;
  position_ += footprint;
  *done = length;
  return true;
}

uint32_t VirtualDrive::WriteTapemarks(uint32_t count) {
  uint32_t error = MayWrite();
  if (error != 0) return error;
  error = TruncateAtPosition();
  if (error != 0) return error;
  std::vector<uint8_t> marks(static_cast<size_t>(count) * simh::kWordSize, 0);
  const struct iovec part = {marks.data(), marks.size()};
  error = WriteAtPosition(&part, 1, marks.size());
  if (error != 0) return error;
  position_ += marks.size();
  return 0;
}

}  // namespace vtape
}  // namespace kor
