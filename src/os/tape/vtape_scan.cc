// Walking a cartridge image object by object, for `korbr vtape`'s listing
// of a cartridge: every framing fault is named with its offset.
#include "os/tape/virtual_tape.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "os/posix/retry.h"
#include "os/tape/vtape_files.h"

namespace kor {

using vtape::ErrnoWords;
using vtape::ReadAt;

bool ScanCartridgeImage(
    const std::string &path, size_t head_limit,
    const std::function<void(const simh::Object &, const uint8_t *, size_t)>
        &visit,
    std::string *why) {
  const int fd = RetryOnInterrupt(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) {
    *why = "cannot open " + path + ": " + ErrnoWords(errno);
    return false;
  }
  std::vector<uint8_t> head(head_limit);
  uint64_t at = 0;
  bool ok = true;
  for (;;) {
    uint8_t word[simh::kWordSize];
    const ssize_t n = ReadAt(fd, word, sizeof word, at);
    if (n == 0) break;
    if (n < 0 || n < static_cast<ssize_t>(sizeof word)) {
      *why = n < 0 ? "cannot read " + path + ": " + ErrnoWords(errno)
                   : "image ends inside the word at byte " + std::to_string(at);
      ok = false;
      break;
    }
    simh::Object object;
    object.offset = at;
    const uint32_t value = simh::LoadWord(word);
    const simh::WordKind kind = simh::ClassifyWord(value);
    if (kind == simh::WordKind::kInvalid) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08" PRIX32, value);
      *why = std::string("damaged image: word ") + hex + " at byte " +
             std::to_string(at);
      ok = false;
      break;
    }
    if (kind == simh::WordKind::kTapeMark) {
      object.kind = simh::Object::kTapeMark;
      visit(object, nullptr, 0);
      at += simh::kWordSize;
      continue;
    }
    if (kind == simh::WordKind::kEndOfMedium) {
      object.kind = simh::Object::kEndOfMedium;
      visit(object, nullptr, 0);
      break;
    }
    object.kind = simh::Object::kRecord;
    object.length = value;
    object.data_offset = at + simh::kWordSize;
    const size_t want = std::min<size_t>(head_limit, value);
    const ssize_t got = ReadAt(fd, head.data(), want, object.data_offset);
    const uint64_t trailer_at =
        at + simh::RecordFootprint(value) - simh::kWordSize;
    uint8_t trailer[simh::kWordSize];
    const ssize_t got_trailer = ReadAt(fd, trailer, sizeof trailer, trailer_at);
    if (got < 0 || got_trailer < 0) {
      *why = "cannot read " + path + ": " + ErrnoWords(errno);
      ok = false;
      break;
    }
    if (static_cast<size_t>(got) < want ||
        got_trailer < static_cast<ssize_t>(sizeof trailer)) {
      *why = "image ends inside the record at byte " + std::to_string(at);
      ok = false;
      break;
    }
    if (simh::LoadWord(trailer) != value) {
      *why = "damaged image: the record at byte " + std::to_string(at) +
             " ends with another length";
      ok = false;
      break;
    }
    visit(object, head.data(), want);
    at += simh::RecordFootprint(value);
  }
  ::close(fd);
  return ok;
}

}  // namespace kor
