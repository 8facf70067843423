// Tests of the media-kind decision.
//
// Strategy: ClassifyMedia is a pure function of devname, so each case sets
// devname directly (including names as the parser leaves them) and checks
// that media_type and media_name agree with each other and with the name.
#include "devstring/media_kind.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/stripe_handle.h"
#include "os/fake_os.h"

namespace kor {
namespace {

TEST(ClassifyMediaTest, TapeOnlyForTheDeviceNamespacePrefix) {
  ScopedFakeOs fake;  // InitHandle reads the environment
  struct Case {
    const char *devname;
    MediaType type;
    const char *name;
  };
  const Case cases[] = {
      {"\\\\.\\Tape0", MEDIA_TAPE, "Tape"},
      {"\\\\.", MEDIA_TAPE, "Tape"},
      {"C:\\backup\\db", MEDIA_DISK, "Disk"},
      {"\\\\server\\share\\db", MEDIA_DISK, "Disk"},
      {"c:\\work\\//./tape1", MEDIA_DISK, "Disk"},
      {"//./tape1", MEDIA_DISK, "Disk"},
      {"\\\\,\\Tape0", MEDIA_DISK, "Disk"},
      {"/var/backups/s1", MEDIA_DISK, "Disk"},
      {"", MEDIA_DISK, "Disk"},
  };
  for (const Case &c : cases) {
    StripeHandle h;
    InitHandle(&h);
    std::strcpy(h.devname, c.devname);
    // Start from the opposite kind so that both assignments are exercised.
    h.media_type = c.type == MEDIA_TAPE ? MEDIA_DISK : MEDIA_TAPE;
    std::memcpy(h.media_name, "XXXXXXX", 8);
    EXPECT_EQ(0, ClassifyMedia(&h));
    EXPECT_EQ(c.type, h.media_type) << c.devname;
    EXPECT_STREQ(c.name, h.media_name) << c.devname;
    EXPECT_EQ(std::string(8 - 4, '\0'), std::string(h.media_name + 4, 4));
  }
}

}  // namespace
}  // namespace kor
