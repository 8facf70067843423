// Fuzz target: a disk restore from volume files of arbitrary bytes, labels
// and data alike.
//
// Input layout:
//   byte 0      flags: bit 0 two volume files, bit 1 stripe 5 (which takes
//               the stripe of its first volume) instead of stripe 0, bit 2
//               an attended stripe, bits 3-5 where the request sizes start
//   bytes 1-2   with two volumes: where the rest is cut in two (little
//               endian, taken modulo the rest's length plus one)
//   the rest    the bytes of C:\bk\s1.1 (and of C:\bk\s1.2 after the cut)
// Inputs shorter than three bytes are volume 1 alone, with no flags.
//
// The stripe is opened for a restore through kor_open on the scripted OS
// layer and read with requests of a few sizes until a read fails, then
// closed.  Findings: any crash or sanitizer report, a handle or OS handle
// left behind, a wait the host's cancellation does not end, and a read
// that succeeds with bytes that do not lie, in order, in the volume files.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_host.h"
#include "os/fake_os.h"

namespace {

constexpr int32_t kRequestSizes[] = {80, 1, 160, 161, 4095, 84, 65536, 7};
constexpr int kSizes = sizeof kRequestSizes / sizeof kRequestSizes[0];
constexpr int kMaxReads = 2000;

// Where the bytes returned so far end in one volume file: a successful read
// must be found at or after it, since a restore reads each file in order.
struct Cursor {
  const std::vector<uint8_t> *file;
  size_t at = 0;

  bool Take(const uint8_t *bytes, size_t length) {
    const std::vector<uint8_t> &f = *file;
    if (length == 0) return true;
    for (size_t i = at; i + length <= f.size(); ++i) {
      if (std::memcmp(f.data() + i, bytes, length) == 0) {
        at = i + length;
        return true;
      }
    }
    return false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t flags = 0;
  std::vector<uint8_t> first, second;
  if (size >= 3) {
    flags = data[0];
    const uint8_t *rest = data + 3;
    const size_t rest_size = size - 3;
    size_t cut = rest_size;
    if (flags & 1) cut = (data[1] | static_cast<size_t>(data[2]) << 8) %
                         (rest_size + 1);
    first.assign(rest, rest + cut);
    second.assign(rest + cut, rest + rest_size);
  } else {
    first.assign(data, data + size);
  }

  kor::ScopedFakeOs fake(kor::PathStyle::kWindows);
  fake->SetEnv("KORDBG", "255");
  fake->AddFile("C:\\bk\\s1.1", first);
  if (flags & 1) fake->AddFile("C:\\bk\\s1.2", second);

  const int32_t stripe = (flags & 2) ? 5 : 0;
  const std::string devstring = std::string("devname=C:\\bk\\s1;dbtype=ZDBn") +
                                ((flags & 4) ? ";attended=1" : ";attended=0");
  OpenParams params;
  std::memset(&params, 0, sizeof params);
  params.archdev[stripe] = devstring.c_str();
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);

  korfuzz::StartInput();
  void *h = kor_open(stripe, &params, KOR_MODE_READ, &msg);
  if (h != nullptr) {
    Cursor in_first{&first}, in_second{&second};
    std::vector<uint8_t> buffer;
    const int start = (flags >> 3) & 7;
    for (int k = 0; k < kMaxReads; ++k) {
      const int32_t length = kRequestSizes[(start + k) % kSizes];
      buffer.assign(static_cast<size_t>(length), 0);
      if (kor_read(h, buffer.data(), length, &msg) != 0) break;
      if (!in_first.Take(buffer.data(), buffer.size()) &&
          !((flags & 1) && in_second.Take(buffer.data(), buffer.size()))) {
        std::fprintf(stderr,
                     "read %d of %d bytes succeeded with bytes that are not "
                     "in the volume files\n",
                     k, static_cast<int>(length));
        std::abort();
      }
    }
    kor_close(h, KOR_CLOSE_NORMAL, &msg);
  }
  korfuzz::CheckReleased(*fake, "after the restore");
  return 0;
}
