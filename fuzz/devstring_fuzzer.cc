// Fuzz target: the archive device string, through kor_open.
//
// The input, whatever its length and bytes (up to its first NUL), is the
// device string of stripe 0.  It is opened for a backup and, when that
// worked, one small request is written and the stripe closed; then it is
// opened for a restore, and when that worked the request is read back and
// compared.  Both with Windows names and with POSIX names.  The scripted
// OS layer stands in for the disk (a tape drive \\.\TAPE0 with cartridges
// in an autoloader is there too), so nothing real is touched and waits are
// virtual.  Findings: any crash or sanitizer report, a handle or OS handle
// left behind, a restore that succeeds with other bytes than were written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_host.h"
#include "os/fake_os.h"

namespace {

void OpenBothWays(kor::PathStyle style, const std::string &devstring) {
  kor::ScopedFakeOs fake(style);
  fake->SetEnv("KORDBG", "255");  // the device string is traced whole
  fake->SetCurrentDirectory(style == kor::PathStyle::kWindows ? "C:\\work"
                                                              : "/work");
  kor::FakeTapeDrive &drive = fake->AddTapeDrive("\\\\.\\TAPE0");
  drive.cartridges.resize(3);
  drive.stacker = true;
  drive.loaded = 0;
  drive.max_block = 1 << 20;  // keeps huge blocks from costing seconds

  OpenParams params;
  std::memset(&params, 0, sizeof params);
  params.archdev[0] = devstring.c_str();
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  static const char kRequest[] = "a request of the fuzzed stripe";
  const int32_t length = static_cast<int32_t>(sizeof kRequest);

  korfuzz::StartInput();
  bool written = false;
  if (void *h = kor_open(0, &params, KOR_MODE_WRITE, &msg)) {
    written = kor_write(h, kRequest, length, &msg) == 0;
    written = kor_close(h, KOR_CLOSE_NORMAL, &msg) == 0 && written;
  }
  korfuzz::CheckReleased(*fake, "after the backup");

  drive.loaded = 0;
  drive.position = 0;
  korfuzz::StartInput();
  if (void *h = kor_open(0, &params, KOR_MODE_READ, &msg)) {
    char back[sizeof kRequest];
    std::memset(back, 0, sizeof back);
    // Nothing but this request was ever written in this fresh world.
    if (kor_read(h, back, length, &msg) == 0 &&
        std::memcmp(back, kRequest, sizeof back) != 0) {
      std::fprintf(stderr, "a read succeeded with other bytes (backup %s)\n",
                   written ? "succeeded" : "failed");
      std::abort();
    }
    kor_close(h, KOR_CLOSE_NORMAL, &msg);
  }
  korfuzz::CheckReleased(*fake, "after the restore");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A NUL-terminated copy; bytes after a NUL are not part of the string.
  const std::string devstring(reinterpret_cast<const char *>(data),
                              strnlen(reinterpret_cast<const char *>(data),
                                      size));
  OpenBothWays(kor::PathStyle::kWindows, devstring);
  OpenBothWays(kor::PathStyle::kPosix, devstring);
  return 0;
}
