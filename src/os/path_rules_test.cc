// The device-name rules are pure functions, so both spellings are checked
// here on every platform: each case gives a name, a current directory and a
// style, and compares the exact text that comes out.  Backslashes are many;
// raw strings keep the cases readable.
#include "os/path_rules.h"

#include <gtest/gtest.h>

namespace kor {
namespace {

constexpr PathStyle kWin = PathStyle::kWindows;
constexpr PathStyle kPosix = PathStyle::kPosix;

TEST(NormalizeNameTest, WindowsDevicesAndAbsoluteNamesStayAsTheyAre) {
  EXPECT_EQ(R"(\\.\TAPE0)", NormalizeName(R"(\\.\TAPE0)", "c:\\work", kWin));
  EXPECT_EQ(R"(\\srv\share\s1)",
            NormalizeName(R"(\\srv\share\s1)", "c:\\work", kWin));
  EXPECT_EQ(R"(\bk\s1)", NormalizeName(R"(\bk\s1)", "c:\\work", kWin));
  EXPECT_EQ(R"(d:\bk\s1)", NormalizeName(R"(d:\bk\s1)", "c:\\work", kWin));
  // Drive-relative: the second character decides, nothing else.
  EXPECT_EQ("d:s1", NormalizeName("d:s1", "c:\\work", kWin));
  EXPECT_FALSE(NeedsCurrentDirectory(R"(\\.\TAPE0)", kWin));
  EXPECT_FALSE(NeedsCurrentDirectory("d:s1", kWin));
}

TEST(NormalizeNameTest, DoubledBackslashesAreReducedToADeviceName) {
  EXPECT_EQ(R"(\\.\Tape0)", NormalizeName(R"(\\\\.\\Tape0)", "c:\\w", kWin));
  EXPECT_EQ(R"(\\.\)", NormalizeName(R"(\\\\.\\)", "c:\\w", kWin));
  EXPECT_EQ(R"(\\.\Tape0)",
            NormalizeName(R"(\\\\.\\Tape0)", "/home", kPosix));
  // Only the full seven-character form is reduced.
  EXPECT_EQ(R"(\\\\.\Tape0)",
            NormalizeName(R"(\\\\.\Tape0)", "c:\\w", kWin));
}

TEST(NormalizeNameTest, WindowsRelativeNamesGetTheCurrentDirectory) {
  EXPECT_TRUE(NeedsCurrentDirectory("tape0", kWin));
  EXPECT_EQ(R"(c:\work\tape0)", NormalizeName("tape0", R"(c:\work)", kWin));
  // A drive root comes with its backslash: two in a row, as the platform
  // itself gives them.
  EXPECT_EQ(R"(c:\\tape0)", NormalizeName("tape0", R"(c:\)", kWin));
  // Forward slashes are no device prefix on the Windows side.
  EXPECT_TRUE(NeedsCurrentDirectory("//./tape0", kWin));
  EXPECT_EQ(R"(c:\work\//./tape0)",
            NormalizeName("//./tape0", R"(c:\work)", kWin));
  // A leading slash is not absolute for Windows rules.
  EXPECT_EQ(R"(c:\w\/bk)", NormalizeName("/bk", R"(c:\w)", kWin));
}

TEST(NormalizeNameTest, PosixAddsSlashAbsoluteNamesAndJoinsWithSlash) {
  EXPECT_FALSE(NeedsCurrentDirectory("/backups/s1", kPosix));
  EXPECT_EQ("/backups/s1", NormalizeName("/backups/s1", "/home", kPosix));
  EXPECT_EQ("//./tape0", NormalizeName("//./tape0", "/home", kPosix));
  EXPECT_TRUE(NeedsCurrentDirectory("s1", kPosix));
  EXPECT_EQ("/home/u/s1", NormalizeName("s1", "/home/u", kPosix));
  EXPECT_EQ("/home/u/bk/s1", NormalizeName("bk/s1", "/home/u", kPosix));
  EXPECT_EQ("/s1", NormalizeName("s1", "/", kPosix));
  // The Windows rules still hold: device names pass untouched.
  EXPECT_EQ(R"(\\.\TAPE0)", NormalizeName(R"(\\.\TAPE0)", "/home", kPosix));
}

TEST(IsTapeNameTest, TwoBackslashesAndADot) {
  EXPECT_TRUE(IsTapeName(R"(\\.\TAPE0)"));
  EXPECT_TRUE(IsTapeName(R"(\\.)"));
  EXPECT_FALSE(IsTapeName(R"(\\)"));
  EXPECT_FALSE(IsTapeName(R"(\\srv\share)"));
  EXPECT_FALSE(IsTapeName("//./tape0"));
  EXPECT_FALSE(IsTapeName(R"(c:\work\//./tape0)"));
  EXPECT_FALSE(IsTapeName(""));
}

TEST(VolumeFileNameTest, PrefixDotDecimalNumber) {
  EXPECT_EQ(R"(D:\dumps\sales.1)", VolumeFileName(R"(D:\dumps\sales)", 1));
  EXPECT_EQ("/b/s.9999", VolumeFileName("/b/s", 9999));
  EXPECT_EQ("s.-1", VolumeFileName("s", -1));
}

TEST(FreeSpaceDirectoryTest, WindowsCutsAtTheLastBackslash) {
  EXPECT_EQ(R"(D:\dumps)", FreeSpaceDirectory(R"(D:\dumps\sales)", kWin));
  EXPECT_EQ("D:", FreeSpaceDirectory(R"(D:\sales)", kWin));
  EXPECT_EQ(R"(c:\)", FreeSpaceDirectory(R"(c:\\tape0)", kWin));
  EXPECT_EQ(R"(c:\work)", FreeSpaceDirectory(R"(c:\work\//./t)", kWin));
  EXPECT_EQ("D:", FreeSpaceDirectory("D:name", kWin));
  EXPECT_EQ(".", FreeSpaceDirectory("name", kWin));
  EXPECT_EQ(R"(\)", FreeSpaceDirectory(R"(\sales)", kWin));
  // A slash is no separator for the Windows rule.
  EXPECT_EQ("D:", FreeSpaceDirectory("D:/dumps/sales", kWin));
}

TEST(FreeSpaceDirectoryTest, PosixCutsAtTheLastSlash) {
  EXPECT_EQ("/backups", FreeSpaceDirectory("/backups/s", kPosix));
  EXPECT_EQ("/", FreeSpaceDirectory("/s", kPosix));
  EXPECT_EQ("/a/b", FreeSpaceDirectory("/a/b/c.d", kPosix));
  EXPECT_EQ(".", FreeSpaceDirectory("s", kPosix));
  // No drives on POSIX: "d:s" is a plain relative name.
  EXPECT_EQ(".", FreeSpaceDirectory("d:s", kPosix));
  EXPECT_EQ(".", FreeSpaceDirectory(R"(a\b)", kPosix));
}

// A URL names objects in a store, so no current directory may be put in
// front of it in either style, and its "directory" is the URL cut at its
// last slash even where backslashes separate names.
TEST(ObjectStoreNameTest, UrlsAreAbsoluteInBothStyles) {
  for (PathStyle style : {kWin, kPosix}) {
    EXPECT_EQ("s3://bk/sales.s0", NormalizeName("s3://bk/sales.s0", "c:\\w", style));
    EXPECT_EQ("S3://bk/a/b", NormalizeName("S3://bk/a/b", "/home", style));
    EXPECT_FALSE(NeedsCurrentDirectory("s3://bk/k", style));
    EXPECT_EQ("s3://bk/a", FreeSpaceDirectory("s3://bk/a/k", style));
  }
  EXPECT_TRUE(IsObjectStoreName("s3://b/k"));
  EXPECT_FALSE(IsObjectStoreName("s3:/b/k"));
  EXPECT_FALSE(IsObjectStoreName("s4://b/k"));
  EXPECT_FALSE(IsObjectStoreName("xs3://b/k"));
  // Not a URL: an ordinary relative name that merely begins like one.
  EXPECT_EQ("/home/s3", NormalizeName("s3", "/home", kPosix));
  EXPECT_FALSE(IsTapeName("s3://bk/k"));
}

}  // namespace
}  // namespace kor
