// The POSIX layer against the real system: every test works in a fresh
// directory from mkdtemp and checks what a Windows caller would see (the
// Win32 codes, the sharing refusal, the file contents left behind).  The
// errno translation is checked directly for codes that cannot be provoked
// here (a full disk, a quota), and the system text against strerror.
#include "os/posix_os.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/os_layer.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

class PosixOsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korbr_posix_os_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string &name : created_) unlink(name.c_str());
    rmdir(dir_.c_str());
  }

  std::string Path(const std::string &leaf) {
    created_.push_back(dir_ + "/" + leaf);
    return created_.back();
  }

  OsHandle OpenForWrite(const std::string &name, uint32_t *error) {
    return os_.OpenFile(name, kGenericWrite, kShareNone, kCreateAlways, error);
  }
  OsHandle OpenForRead(const std::string &name, uint32_t *error) {
    return os_.OpenFile(name, kGenericRead, kShareNone, kOpenExisting, error);
  }
  void WriteAll(OsHandle h, const std::string &text) {
    uint32_t done = 0, error = 0;
    ASSERT_TRUE(os_.WriteFile(h, text.data(), text.size(), &done, &error))
        << os_.SystemErrorText(error);
    ASSERT_EQ(text.size(), done);
  }
  std::string ReadBack(const std::string &name) {
    uint32_t error = 0;
    const OsHandle h = OpenForRead(name, &error);
    if (h == kInvalidOsHandle) return "<open failed " + std::to_string(error);
    std::string text(4096, '\0');
    uint32_t done = 0;
    const bool ok = os_.ReadFile(h, &text[0], text.size(), &done, &error);
    os_.CloseHandle(h, &error);
    if (!ok) return "<read failed>";
    text.resize(done);
    return text;
  }

  OsLayer &os_ = PlatformOs();
  std::string dir_;
  std::vector<std::string> created_;
};

TEST_F(PosixOsTest, CreateAlwaysCreatesThenTruncatesAndReadsStopAtTheEnd) {
  const std::string name = Path("s1.1");
  uint32_t error = 0;
  OsHandle h = OpenForWrite(name, &error);
  ASSERT_NE(kInvalidOsHandle, h) << os_.SystemErrorText(error);
  WriteAll(h, "first volume contents");
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_EQ("first volume contents", ReadBack(name));

  h = OpenForWrite(name, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  WriteAll(h, "new");
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_EQ("new", ReadBack(name));

  // A read asking for more than is left gets the rest, then 0.
  h = OpenForRead(name, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  char buffer[16];
  uint32_t done = 99;
  ASSERT_TRUE(os_.ReadFile(h, buffer, 2, &done, &error));
  EXPECT_EQ(2u, done);
  ASSERT_TRUE(os_.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(1u, done);
  EXPECT_EQ('w', buffer[0]);
  ASSERT_TRUE(os_.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(0u, done);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
}

TEST_F(PosixOsTest, LargeTransfersMoveTheWholeCount) {
  const std::string name = Path("big.1");
  std::vector<char> data(3 * 1024 * 1024 + 7);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  uint32_t error = 0, done = 0;
  OsHandle h = OpenForWrite(name, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  ASSERT_TRUE(os_.WriteFile(h, data.data(), data.size(), &done, &error));
  EXPECT_EQ(data.size(), done);
  ASSERT_TRUE(os_.CloseHandle(h, &error));

  std::vector<char> back(data.size() + 100);
  h = OpenForRead(name, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  ASSERT_TRUE(os_.ReadFile(h, back.data(), back.size(), &done, &error));
  EXPECT_EQ(data.size(), done);
  back.resize(done);
  EXPECT_TRUE(back == data);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
}

// A volume larger than 4 GiB (sparse here) opens for a restore and reads
// from its start, and a backup can take it over, also in a 32-bit build.
TEST_F(PosixOsTest, VolumesPastFourGibibytesOpen) {
  const std::string name = Path("huge.1");
  FILE *file = std::fopen(name.c_str(), "w");
  ASSERT_NE(nullptr, file);
  ASSERT_EQ(0, ftruncate(fileno(file), (off_t{4} << 30) + 4096))
      << strerror(errno);
  ASSERT_EQ(0, std::fclose(file));
  uint32_t error = 0, done = 0;
  OsHandle h = OpenForRead(name, &error);
  ASSERT_NE(kInvalidOsHandle, h) << os_.SystemErrorText(error);
  char buffer[64] = {1};
  ASSERT_TRUE(os_.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(sizeof buffer, done);
  EXPECT_EQ(0, buffer[0]);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  h = OpenForWrite(name, &error);
  ASSERT_NE(kInvalidOsHandle, h) << os_.SystemErrorText(error);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_EQ("", ReadBack(name));
}

TEST_F(PosixOsTest, OpenFailuresCarryWindowsCodes) {
  uint32_t error = 0;
  EXPECT_EQ(kInvalidOsHandle, OpenForRead(dir_ + "/missing.1", &error));
  EXPECT_EQ(kErrorFileNotFound, error);
  // A directory is refused for writing and for reading alike.
  EXPECT_EQ(kInvalidOsHandle, OpenForWrite(dir_, &error));
  EXPECT_EQ(kErrorAccessDenied, error);
  EXPECT_EQ(kInvalidOsHandle, OpenForRead(dir_, &error));
  EXPECT_EQ(kErrorAccessDenied, error);
  EXPECT_EQ(strerror(EISDIR), os_.SystemErrorText(error));
  // A path through a regular file.
  const std::string file = Path("plain");
  OsHandle h = OpenForWrite(file, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_EQ(kInvalidOsHandle, OpenForWrite(file + "/x.1", &error));
  EXPECT_EQ(kErrorPathNotFound, error);
  // A tape name that names no drive in the device directory (this empty
  // directory here) is not found; tape calls on a closed handle name it
  // invalid.  Real drives are tested with the virtual tape drive.
  setenv("KOR_DEVICE_DIR", dir_.c_str(), 1);
  EXPECT_EQ(kInvalidOsHandle,
            os_.OpenFile("\\\\.\\TAPE0", kGenericRead | kGenericWrite,
                         kShareReadWrite, kOpenExisting, &error));
  unsetenv("KOR_DEVICE_DIR");
  EXPECT_EQ(kErrorFileNotFound, error);
  EXPECT_EQ(kErrorInvalidHandle, os_.GetTapeStatus(h));
}

TEST_F(PosixOsTest, ShareNoneRefusesASecondOpenerWithoutTruncating) {
  const std::string name = Path("shared.1");
  uint32_t error = 0;
  const OsHandle first = OpenForWrite(name, &error);
  ASSERT_NE(kInvalidOsHandle, first);
  WriteAll(first, "stripe one data");

  // Another stripe with the same prefix: refused, and the file intact.
  EXPECT_EQ(kInvalidOsHandle, OpenForWrite(name, &error));
  EXPECT_EQ(kErrorSharingViolation, error);
  EXPECT_EQ(kInvalidOsHandle, OpenForRead(name, &error));
  EXPECT_EQ(kErrorSharingViolation, error);
  WriteAll(first, " goes on");
  ASSERT_TRUE(os_.CloseHandle(first, &error));
  EXPECT_EQ("stripe one data goes on", ReadBack(name));

  // Once closed, the file can be opened again; a reader shuts out writers.
  const OsHandle reader = OpenForRead(name, &error);
  ASSERT_NE(kInvalidOsHandle, reader);
  EXPECT_EQ(kInvalidOsHandle, OpenForWrite(name, &error));
  EXPECT_EQ(kErrorSharingViolation, error);
  ASSERT_TRUE(os_.CloseHandle(reader, &error));
  EXPECT_EQ("stripe one data goes on", ReadBack(name));
}

TEST_F(PosixOsTest, ClosedHandlesAreInvalid) {
  const std::string name = Path("c.1");
  uint32_t error = 0, done = 0;
  const OsHandle h = OpenForWrite(name, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_FALSE(os_.CloseHandle(h, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
  EXPECT_FALSE(os_.WriteFile(h, "x", 1, &done, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
  EXPECT_EQ(0u, done);
  EXPECT_FALSE(os_.CloseHandle(kInvalidOsHandle, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
}

TEST_F(PosixOsTest, AttributesFreeSpaceAndCurrentDirectory) {
  EXPECT_EQ(kFileAttributeDirectory, os_.GetFileAttributes(dir_));
  EXPECT_EQ(kInvalidFileAttributes, os_.GetFileAttributes(dir_ + "/none"));
  const std::string file = Path("f");
  uint32_t error = 0;
  const OsHandle h = OpenForWrite(file, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_EQ(kFileAttributeNormal, os_.GetFileAttributes(file));

  uint64_t free_bytes = 0;
  ASSERT_TRUE(os_.GetDiskFreeSpace(dir_, &free_bytes, &error));
  EXPECT_GT(free_bytes, 0u);
  EXPECT_FALSE(os_.GetDiskFreeSpace(dir_ + "/none", &free_bytes, &error));
  EXPECT_EQ(kErrorFileNotFound, error);

  std::string cwd;
  ASSERT_TRUE(os_.GetCurrentDirectory(&cwd));
  char expected[4096];
  ASSERT_NE(nullptr, getcwd(expected, sizeof expected));
  EXPECT_EQ(expected, cwd);
  EXPECT_EQ(PathStyle::kPosix, os_.path_style());
}

TEST(PosixErrnoTest, TranslationTable) {
  EXPECT_EQ(kErrorDiskFull, Win32ErrorFromErrno(ENOSPC));
  EXPECT_EQ(kErrorDiskFull, Win32ErrorFromErrno(EDQUOT));
  EXPECT_EQ(kErrorOperationAborted, Win32ErrorFromErrno(EINTR));
  EXPECT_EQ(kErrorInvalidHandle, Win32ErrorFromErrno(EBADF));
  EXPECT_EQ(kErrorAccessDenied, Win32ErrorFromErrno(EPERM));
  EXPECT_EQ(kErrorWriteProtect, Win32ErrorFromErrno(EROFS));
  EXPECT_EQ(kErrorFileExists, Win32ErrorFromErrno(EEXIST));
  EXPECT_EQ(kErrorBusy, Win32ErrorFromErrno(EBUSY));
  EXPECT_EQ(kErrorSharingViolation, Win32ErrorFromErrno(EWOULDBLOCK));
  EXPECT_EQ(kErrorFilenameTooLong, Win32ErrorFromErrno(ENAMETOOLONG));
  EXPECT_EQ(kErrorTooManyOpenFiles, Win32ErrorFromErrno(ENFILE));
  EXPECT_EQ(kErrorIoDevice, Win32ErrorFromErrno(EIO));
  EXPECT_EQ(kErrorFileTooLarge, Win32ErrorFromErrno(EFBIG));
  EXPECT_EQ(kErrorArithmeticOverflow, Win32ErrorFromErrno(EOVERFLOW));
  EXPECT_EQ(kErrorNoMediaInDrive, Win32ErrorFromErrno(ENOMEDIUM));
  EXPECT_EQ(kErrorNotReady, Win32ErrorFromErrno(ENXIO));
  EXPECT_EQ(kCustomerCodeBit | ENOLINK, Win32ErrorFromErrno(ENOLINK));
}

TEST(PosixErrnoTest, SystemTextIsTheTextOfTheOriginalErrno) {
  OsLayer &os = PlatformOs();
  // Two errno values share 112; the text follows the one that happened.
  EXPECT_EQ(kErrorDiskFull, Win32ErrorFromErrno(EDQUOT));
  EXPECT_EQ(strerror(EDQUOT), os.SystemErrorText(kErrorDiskFull));
  EXPECT_EQ(kErrorDiskFull, Win32ErrorFromErrno(ENOSPC));
  EXPECT_EQ(strerror(ENOSPC), os.SystemErrorText(kErrorDiskFull));
  EXPECT_EQ(strerror(ENOLINK), os.SystemErrorText(kCustomerCodeBit | ENOLINK));
  // Codes that never came from errno still get a text: the tape
  // conditions their own, any other its number.
  EXPECT_EQ("End of the tape media reached",
            os.SystemErrorText(kErrorEndOfMedia));
  EXPECT_EQ("Win32 error 1234", os.SystemErrorText(1234));
  EXPECT_FALSE(os.SystemErrorText(0).empty());
}

TEST(PosixEnvTest, AnEmptyVariableExists) {
  OsLayer &os = PlatformOs();
  ASSERT_EQ(0, setenv("KORBR_POSIX_TEST_EMPTY", "", 1));
  std::string value = "stale";
  EXPECT_TRUE(os.GetEnv("KORBR_POSIX_TEST_EMPTY", &value));
  EXPECT_EQ("", value);
  ASSERT_EQ(0, unsetenv("KORBR_POSIX_TEST_EMPTY"));
  EXPECT_FALSE(os.GetEnv("KORBR_POSIX_TEST_EMPTY", &value));
}

}  // namespace
}  // namespace kor
