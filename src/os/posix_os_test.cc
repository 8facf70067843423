// The POSIX layer against the real system: every test works in a fresh
// directory from mkdtemp and checks what a Windows caller would see (the
// Win32 codes, the sharing refusal, the file contents left behind).  The
// errno translation is checked directly for codes that cannot be provoked
// here (a full disk, a quota), and the system text against strerror.
#include "os/posix_os.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/file_mode.h"
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
  // The size is the truncated file's, wherever the handle stands.
  uint64_t size = 0;
  ASSERT_TRUE(os_.GetFileSize(h, &size, &error));
  EXPECT_EQ(3u, size);
  char buffer[16];
  uint32_t done = 99;
  ASSERT_TRUE(os_.ReadFile(h, buffer, 2, &done, &error));
  EXPECT_EQ(2u, done);
  ASSERT_TRUE(os_.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(1u, done);
  EXPECT_EQ('w', buffer[0]);
  ASSERT_TRUE(os_.ReadFile(h, buffer, sizeof buffer, &done, &error));
  EXPECT_EQ(0u, done);
  ASSERT_TRUE(os_.GetFileSize(h, &size, &error));
  EXPECT_EQ(3u, size);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_FALSE(os_.GetFileSize(h, &size, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
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

TEST_F(PosixOsTest, GatheredWritesKeepTheSliceOrderAndFlushesReachTheFile) {
  const std::string name = Path("g.1");
  // An empty slice between two others, the second larger than one write
  // may take at once on some systems.
  std::vector<char> a(100001, 'a'), b(3 * 1024 * 1024, 'b');
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i * 13);
  const ByteSlice slices[] = {{a.data(), static_cast<uint32_t>(a.size())},
                              {nullptr, 0},
                              {b.data(), static_cast<uint32_t>(b.size())}};
  uint32_t error = 0, done = 0;
  const OsHandle h = OpenForWrite(name, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  ASSERT_TRUE(os_.WriteGather(h, slices, 3, &done, &error))
      << os_.SystemErrorText(error);
  EXPECT_EQ(a.size() + b.size(), done);
  EXPECT_TRUE(os_.FlushFile(h, &error)) << os_.SystemErrorText(error);
  EXPECT_TRUE(os_.FlushDirectory(name, &error)) << os_.SystemErrorText(error);
  ASSERT_TRUE(os_.CloseHandle(h, &error));

  std::vector<char> back(a.size() + b.size() + 1);
  const OsHandle r = OpenForRead(name, &error);
  ASSERT_NE(kInvalidOsHandle, r);
  ASSERT_TRUE(os_.ReadFile(r, back.data(), back.size(), &done, &error));
  ASSERT_EQ(a.size() + b.size(), done);
  back.resize(done);
  std::vector<char> expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_TRUE(back == expected);
  ASSERT_TRUE(os_.CloseHandle(r, &error));

  // Failures keep Win32 meaning.
  EXPECT_FALSE(os_.WriteGather(r, slices, 1, &done, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
  EXPECT_FALSE(os_.FlushFile(r, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
  EXPECT_FALSE(os_.FlushDirectory(dir_ + "/missing/v.1", &error));
  EXPECT_EQ(kErrorFileNotFound, error);
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

// The mode of a file `name` names (not following a link), or -1.
int ModeOf(const std::string &name) {
  struct stat st;
  if (lstat(name.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

// Sets KOR_VOLUME_MODE and the umask for one case, and puts both back.
class ScopedFileModeSettings {
 public:
  ScopedFileModeSettings(const char *variable, mode_t mask)
      : mask_(umask(mask)) {
    if (variable != nullptr) {
      setenv(kFileModeVariable, variable, 1);
    } else {
      unsetenv(kFileModeVariable);
    }
  }
  ~ScopedFileModeSettings() {
    unsetenv(kFileModeVariable);
    umask(mask_);
  }

 private:
  mode_t mask_;
};

TEST_F(PosixOsTest, AVolumeWrittenGetsTheBackupModeWhateverTheUmask) {
  struct Case {
    mode_t umask;
    const char *variable;  // KOR_VOLUME_MODE, nullptr for unset
    int existing;          // mode of a file already there, -1 for none
    int expected;
  };
  const Case cases[] = {
      {022, nullptr, -1, 0600},   {000, nullptr, -1, 0600},
      {000, nullptr, 0666, 0600}, {077, "0660", -1, 0660},
      {022, "640", 0600, 0640},   {0277, nullptr, -1, 0600},
  };
  int n = 0;
  for (const Case &c : cases) {
    const std::string name = Path("m" + std::to_string(++n));
    SCOPED_TRACE(name);
    ScopedFileModeSettings settings(c.variable, c.umask);
    if (c.existing >= 0) {
      FILE *f = fopen(name.c_str(), "w");
      ASSERT_NE(nullptr, f);
      fclose(f);
      ASSERT_EQ(0, chmod(name.c_str(), static_cast<mode_t>(c.existing)));
    }
    uint32_t error = 0;
    const OsHandle h = OpenForWrite(name, &error);
    ASSERT_NE(kInvalidOsHandle, h) << os_.SystemErrorText(error);
    EXPECT_EQ(c.expected, ModeOf(name));
    ASSERT_TRUE(os_.CloseHandle(h, &error));
  }
}

TEST_F(PosixOsTest, AModeOpenToOthersRefusesEveryWriteButNoRead) {
  const std::string kept = Path("kept.1");
  {
    uint32_t error = 0;
    const OsHandle h = OpenForWrite(kept, &error);
    ASSERT_NE(kInvalidOsHandle, h);
    WriteAll(h, "volume one");
    ASSERT_TRUE(os_.CloseHandle(h, &error));
  }
  for (const char *variable : {"0644", "0666", "0700", "0400", "0", "", "0x1a0",
                               "0640 ", "-0640", "1000640"}) {
    SCOPED_TRACE(std::string("KOR_VOLUME_MODE='") + variable + "'");
    ScopedFileModeSettings settings(variable, 022);
    uint32_t error = 0;
    EXPECT_EQ(kInvalidOsHandle, OpenForWrite(kept, &error));
    EXPECT_EQ(kErrorBadEnvironment, error);
    EXPECT_EQ(kFileModeRule, os_.SystemErrorText(error));
    EXPECT_EQ(kInvalidOsHandle, OpenForWrite(dir_ + "/new.1", &error));
    EXPECT_EQ(-1, ModeOf(dir_ + "/new.1")) << "nothing is created";
    // Neither truncated nor made unreadable to a restore.
    EXPECT_EQ("volume one", ReadBack(kept));
  }
}

TEST_F(PosixOsTest, OpenRefusesALinkForWritingAndWhatIsNoFileAlways) {
  const std::string target = Path("target");
  {
    FILE *f = fopen(target.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs("somebody's data", f);
    fclose(f);
  }
  const std::string link = Path("link.1");
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  const std::string dangling = Path("dangling.1");
  ASSERT_EQ(0, symlink((dir_ + "/nowhere").c_str(), dangling.c_str()));
  const std::string fifo = Path("fifo.1");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));

  struct Case {
    std::string name;
    bool write;
    uint32_t expected;  // 0: opens
  };
  const Case cases[] = {
      {link, true, kErrorStoppedOnSymlink},
      {dangling, true, kErrorStoppedOnSymlink},
      {link, false, 0},  // a restore may follow links
      {fifo, true, kErrorBadFileType},  // nobody reads it: must not hang
      {fifo, false, kErrorBadFileType},
      {"/dev/null", true, kErrorBadFileType},
      {"/dev/null", false, kErrorBadFileType},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name + (c.write ? " for writing" : " for reading"));
    uint32_t error = 0;
    const OsHandle h =
        c.write ? OpenForWrite(c.name, &error) : OpenForRead(c.name, &error);
    EXPECT_EQ(c.expected, error) << os_.SystemErrorText(error);
    EXPECT_EQ(c.expected == 0, h != kInvalidOsHandle);
    if (h != kInvalidOsHandle) os_.CloseHandle(h, &error);
  }
  EXPECT_EQ("somebody's data", ReadBack(target));
  EXPECT_EQ(-1, ModeOf(dir_ + "/nowhere"));
  EXPECT_NE(std::string::npos,
            os_.SystemErrorText(kErrorStoppedOnSymlink).find("symbolic link"));
  EXPECT_NE(std::string::npos,
            os_.SystemErrorText(kErrorBadFileType).find("Not a regular file"));
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
  EXPECT_EQ("End of file", os.SystemErrorText(kErrorHandleEof));
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
