// Fuzz target: the SIMH tape image readers on arbitrary bytes.
//
// The input is a cartridge image.  Three readers look at it and must agree:
// the pure decoder (simh::DecodeImage), the scan that `korbr vtape dump`
// uses (ScanCartridgeImage, on the image written to a temporary virtual
// drive) and the virtual drive itself, read record by record through the
// tape backend as the library reads a cartridge.  The same bytes, taken as
// text, are also parsed as a drive's state file, which must survive a
// round trip through its formatter.  Findings: any crash or sanitizer
// report, and any disagreement: an object one reader sees and another does
// not, a record whose bytes differ, a damaged image one reader accepts.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "os/tape/simh_image.h"
#include "os/tape/virtual_tape.h"

namespace {

using kor::simh::DecodeStatus;
using kor::simh::Object;

constexpr uint32_t kReadBuffer = 4096;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorFilemark = 1101;
constexpr uint32_t kErrorNoData = 1104;
constexpr uint32_t kErrorIoDevice = 1117;

[[noreturn]] void Finding(const char *what, size_t index) {
  std::fprintf(stderr, "tape image readers disagree: %s (object %zu)\n", what,
               index);
  std::abort();
}

// A virtual drive with one loaded cartridge in a temporary directory, made
// once and removed when the fuzzer exits.
class TempDrive {
 public:
  TempDrive() {
    char pattern[] = "/tmp/korbr-tape-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    root_ = pattern;
    drive_ = root_ + "/drive";
    kor::VirtualDriveState state;
    state.cartridges = 1;
    state.capacity = uint64_t{1} << 40;
    state.loaded = 1;
    std::string why;
    if (!kor::CreateVirtualDrive(drive_, state, &why)) {
      std::fprintf(stderr, "cannot make a virtual drive: %s\n", why.c_str());
      std::abort();
    }
  }
  ~TempDrive() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const std::string &drive() const { return drive_; }
  std::string image() const { return kor::CartridgePath(drive_, 1); }

 private:
  std::string root_;
  std::string drive_;
};

TempDrive &Drive() {
  static TempDrive drive;
  return drive;
}

void WriteImage(const std::string &path, const uint8_t *data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// The decoder's own promises: objects lie back to back inside the input.
void CheckDecoded(const std::vector<Object> &objects, size_t size) {
  uint64_t at = 0;
  for (size_t i = 0; i < objects.size(); ++i) {
    const Object &o = objects[i];
    if (o.offset != at) Finding("objects not back to back", i);
    at += kor::simh::ObjectSize(o);
    if (at > size) Finding("an object past the end of the image", i);
    if (o.kind == Object::kRecord &&
        (o.length == 0 || o.data_offset + o.length > size))
      Finding("record data outside the image", i);
  }
}

void CompareScan(const uint8_t *data, const std::vector<Object> &objects,
                 DecodeStatus status) {
  constexpr size_t kHead = 64;
  size_t index = 0;
  std::string why;
  const bool ok = kor::ScanCartridgeImage(
      Drive().image(), kHead,
      [&](const Object &o, const uint8_t *head, size_t head_size) {
        if (index >= objects.size()) Finding("the scan sees more objects", index);
        const Object &d = objects[index];
        if (o.kind != d.kind || o.offset != d.offset)
          Finding("the scan sees another object", index);
        if (o.kind == Object::kRecord &&
            (o.length != d.length || o.data_offset != d.data_offset ||
             head_size != std::min<size_t>(kHead, o.length) ||
             std::memcmp(head, data + o.data_offset, head_size) != 0))
          Finding("the scan sees another record", index);
        ++index;
      },
      &why);
  if (index != objects.size()) Finding("the scan sees fewer objects", index);
  if (ok != (status == DecodeStatus::kOk))
    Finding(ok ? "the scan accepts a damaged image"
               : "the scan refuses a sound image",
            index);
}

void CompareDrive(const uint8_t *data, const std::vector<Object> &objects,
                  DecodeStatus status) {
  uint32_t error = 0;
  std::unique_ptr<kor::TapeBackend> drive =
      kor::OpenVirtualDrive(Drive().drive(), false, false, &error);
  if (!drive) {
    std::fprintf(stderr, "cannot open the virtual drive: %u\n", error);
    std::abort();
  }
  std::vector<uint8_t> buffer(kReadBuffer);
  for (size_t index = 0;; ++index) {
    uint32_t done = 0;
    const bool ok = drive->Read(buffer.data(), kReadBuffer, &done, &error);
    if (done > kReadBuffer) Finding("a read beyond the buffer", index);
    if (index >= objects.size()) {
      // Past what the decoder accepted: the end of a sound image, or the
      // damage the decoder stopped at (a record too long for the buffer
      // is passed over unread, as a tape drive does).
      if (ok) Finding("the drive reads a record the decoder refused", index);
      if (status == DecodeStatus::kOk ? error != kErrorNoData
                                      : error != kErrorIoDevice &&
                                            error != kErrorMoreData)
        Finding("the drive ends the image with another code", index);
      break;
    }
    const Object &o = objects[index];
    if (o.kind == Object::kEndOfMedium) {
      if (ok || error != kErrorNoData)
        Finding("the drive reads past the end of the medium", index);
      break;
    }
    if (o.kind == Object::kTapeMark) {
      if (ok || error != kErrorFilemark) Finding("a tape mark missed", index);
      continue;
    }
    if (o.length > kReadBuffer) {
      if (ok || error != kErrorMoreData)
        Finding("a long record not refused", index);
      continue;
    }
    if (!ok || done != o.length ||
        std::memcmp(buffer.data(), data + o.data_offset, o.length) != 0)
      Finding("the drive reads another record", index);
  }
  if (!drive->Close(&error)) std::abort();
}

// A state the parser accepts must come back the same from its own text.
void CheckStateRoundTrip(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  kor::VirtualDriveState state, again;
  std::string why;
  if (!kor::ParseVtapeState(text, &state, &why)) return;
  if (!kor::ParseVtapeState(kor::FormatVtapeState(state), &again, &why) ||
      again.cartridges != state.cartridges ||
      again.capacity != state.capacity ||
      again.min_block != state.min_block ||
      again.max_block != state.max_block || again.stacker != state.stacker ||
      again.loaded != state.loaded || again.generation != state.generation ||
      again.protected_list != state.protected_list) {
    std::fprintf(stderr, "a drive state does not survive its own text\n");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<Object> objects;
  const DecodeStatus status = kor::simh::DecodeImage(data, size, &objects);
  CheckDecoded(objects, size);
  WriteImage(Drive().image(), data, size);
  CompareScan(data, objects, status);
  CompareDrive(data, objects, status);
  CheckStateRoundTrip(data, size);
  return 0;
}
