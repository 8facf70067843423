// The Windows OS layer against the real system (under wine in CI): every
// test works in a fresh directory under the temporary directory and checks
// what the core relies on: the Win32 codes of failed opens, the sharing
// refusal that leaves the first opener's file intact, whole transfers, free
// space, the current directory, the system texts (compared with what
// FormatMessageA itself gives) and the environment, where a variable set to
// the empty text exists.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/disk_device.h"
#include "diag/error_report.h"
#include "os/os_layer.h"
#include "os/win32_api.h"
#include "os/win32_codes.h"
#include "support/handle_fixture.h"

namespace kor {
namespace {

// FormatMessageA's own text for `code` with `flags`, line breaks trimmed;
// empty when it has none.
std::string FormatMessageText(DWORD flags, DWORD code) {
  char *text = nullptr;
  const DWORD length = ::FormatMessageA(
      flags, nullptr, code, 0x400, reinterpret_cast<char *>(&text), 0, nullptr);
  std::string result = length != 0 ? std::string(text, length) : "";
  if (text != nullptr) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' '))
    result.pop_back();
  return result;
}

class Win32OsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathA(sizeof temp, temp));
    char unique[MAX_PATH];
    // Makes a unique empty file; its name becomes the test's directory.
    ASSERT_NE(0u, ::GetTempFileNameA(temp, "kor", 0, unique));
    ASSERT_TRUE(::DeleteFileA(unique));
    ASSERT_TRUE(::CreateDirectoryA(unique, nullptr));
    dir_ = unique;
  }
  void TearDown() override {
    for (const std::string &name : created_) ::DeleteFileA(name.c_str());
    ::RemoveDirectoryA(dir_.c_str());
  }

  std::string Path(const std::string &leaf) {
    created_.push_back(dir_ + "\\" + leaf);
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

TEST_F(Win32OsTest, CreateAlwaysCreatesThenTruncatesAndReadsStopAtTheEnd) {
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

TEST_F(Win32OsTest, LargeTransfersMoveTheWholeCount) {
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

TEST_F(Win32OsTest, GatheredWritesKeepTheSliceOrderAndFlushesReachTheFile) {
  const std::string name = Path("g.1");
  const std::string a(100001, 'a'), b(70000, 'b');
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
  EXPECT_TRUE(os_.FlushDirectory(name, &error));
  ASSERT_TRUE(os_.CloseHandle(h, &error));

  std::string back(a.size() + b.size() + 1, '\0');
  const OsHandle r = OpenForRead(name, &error);
  ASSERT_NE(kInvalidOsHandle, r);
  ASSERT_TRUE(os_.ReadFile(r, &back[0], back.size(), &done, &error));
  back.resize(done);
  EXPECT_TRUE(back == a + b);
  ASSERT_TRUE(os_.CloseHandle(r, &error));
  EXPECT_FALSE(os_.FlushFile(kInvalidOsHandle, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
}

TEST_F(Win32OsTest, OpenFailuresCarryTheSystemsCodes) {
  uint32_t error = 0;
  EXPECT_EQ(kInvalidOsHandle, OpenForRead(dir_ + "\\missing.1", &error));
  EXPECT_EQ(kErrorFileNotFound, error);
  // A directory is refused for writing and for reading alike.
  EXPECT_EQ(kInvalidOsHandle, OpenForWrite(dir_, &error));
  EXPECT_EQ(kErrorAccessDenied, error);
  EXPECT_EQ(kInvalidOsHandle, OpenForRead(dir_, &error));
  EXPECT_EQ(kErrorAccessDenied, error);
  // A path through a directory that does not exist.
  EXPECT_EQ(kInvalidOsHandle, OpenForWrite(dir_ + "\\none\\x.1", &error));
  EXPECT_EQ(kErrorPathNotFound, error);
  // A tape drive that is not there; tape calls on a plain file are refused.
  EXPECT_EQ(kInvalidOsHandle,
            os_.OpenFile("\\\\.\\TAPE7", kGenericRead | kGenericWrite,
                         kShareReadWrite, kOpenExisting, &error));
  EXPECT_NE(0u, error);
  const std::string file = Path("not_a_tape");
  const OsHandle h = OpenForWrite(file, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  EXPECT_NE(0u, os_.GetTapeStatus(h));
  TapeMediaParams media;
  EXPECT_FALSE(os_.GetTapeMediaParams(h, &media, &error));
  EXPECT_NE(0u, error);
  TapeDriveParams drive;
  EXPECT_FALSE(os_.GetTapeDriveParams(h, &drive, &error));
  EXPECT_NE(0u, error);
  EXPECT_FALSE(os_.SetTapeBlockSize(h, 65536, &error));
  EXPECT_NE(0u, error);
  EXPECT_NE(0u, os_.WriteTapemarks(h, 2));
  EXPECT_NE(0u, os_.UnloadTape(h));
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_EQ(kErrorInvalidHandle, os_.GetTapeStatus(kInvalidOsHandle));
}

TEST_F(Win32OsTest, ShareNoneRefusesASecondOpenerWithoutTruncating) {
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

TEST_F(Win32OsTest, ClosedAndInvalidHandlesAreRefused) {
  const std::string name = Path("c.1");
  uint32_t error = 0, done = 7;
  const OsHandle h = OpenForWrite(name, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  EXPECT_FALSE(os_.CloseHandle(h, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
  EXPECT_FALSE(os_.WriteFile(h, "x", 1, &done, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
  EXPECT_EQ(0u, done);
  // -1 is the current process to Windows: it must not be closed or
  // written to as if it were a file.
  EXPECT_FALSE(os_.CloseHandle(kInvalidOsHandle, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
  char byte;
  EXPECT_FALSE(os_.ReadFile(kInvalidOsHandle, &byte, 1, &done, &error));
  EXPECT_EQ(kErrorInvalidHandle, error);
}

TEST_F(Win32OsTest, AttributesFreeSpaceAndCurrentDirectory) {
  EXPECT_NE(0u, os_.GetFileAttributes(dir_) & kFileAttributeDirectory);
  EXPECT_NE(kInvalidFileAttributes, os_.GetFileAttributes(dir_));
  EXPECT_EQ(kInvalidFileAttributes, os_.GetFileAttributes(dir_ + "\\none"));
  const std::string file = Path("f");
  uint32_t error = 0;
  const OsHandle h = OpenForWrite(file, &error);
  ASSERT_NE(kInvalidOsHandle, h);
  ASSERT_TRUE(os_.CloseHandle(h, &error));
  const uint32_t attributes = os_.GetFileAttributes(file);
  EXPECT_NE(kInvalidFileAttributes, attributes);
  EXPECT_EQ(0u, attributes & kFileAttributeDirectory);

  uint64_t free_bytes = 0;
  ASSERT_TRUE(os_.GetDiskFreeSpace(dir_, &free_bytes, &error))
      << os_.SystemErrorText(error);
  EXPECT_GT(free_bytes, 0u);
  // A drive given without a directory, as a prefix "D:name" is cut.
  ASSERT_TRUE(os_.GetDiskFreeSpace(dir_.substr(0, 2), &free_bytes, &error));
  EXPECT_GT(free_bytes, 0u);
  EXPECT_FALSE(
      os_.GetDiskFreeSpace(dir_ + "\\none\\deeper", &free_bytes, &error));
  EXPECT_NE(0u, error);

  char expected[MAX_PATH];
  const DWORD length = ::GetCurrentDirectoryA(sizeof expected, expected);
  ASSERT_NE(0u, length);
  std::string cwd;
  ASSERT_TRUE(os_.GetCurrentDirectory(&cwd));
  EXPECT_EQ(std::string(expected, length), cwd);
  // A drive root keeps its separator, a directory has none at the end.
  ASSERT_TRUE(::SetCurrentDirectoryA(dir_.c_str()));
  ASSERT_TRUE(os_.GetCurrentDirectory(&cwd));
  EXPECT_EQ(dir_, cwd);
  const std::string root = dir_.substr(0, 3);
  ASSERT_TRUE(::SetCurrentDirectoryA(root.c_str()));
  ASSERT_TRUE(os_.GetCurrentDirectory(&cwd));
  EXPECT_EQ(root, cwd);
  EXPECT_EQ('\\', cwd.back());
  ASSERT_TRUE(::SetCurrentDirectoryA(expected));
  EXPECT_EQ(PathStyle::kWindows, os_.path_style());
}

TEST(Win32OsTextTest, SystemTextIsFormatMessagesOwn) {
  OsLayer &os = PlatformOs();
  for (DWORD code :
       {kErrorFileNotFound, kErrorAccessDenied, kErrorSharingViolation,
        kErrorDiskFull, kErrorOperationAborted, kErrorEndOfMedia}) {
    const std::string expected = FormatMessageText(0x11C8, code);
    ASSERT_FALSE(expected.empty()) << "no system text for " << code;
    const std::string text = os.SystemErrorText(code);
    EXPECT_EQ(expected, text) << code;
    EXPECT_NE('\n', text.back());
  }
  // A code the system has no text for still gets one.
  const DWORD unknown = kCustomerCodeBit | 0x1234;
  ASSERT_TRUE(FormatMessageText(0x11C8, unknown).empty());
  EXPECT_EQ("Win32 error " + std::to_string(unknown),
            os.SystemErrorText(unknown));
}

TEST(Win32OsTextTest, MessagesWithInsertsKeepThemRatherThanFail) {
  // ERROR_BAD_EXE_FORMAT names the program through an insert, which cannot
  // be filled without arguments: asked as usual, the system has no text.
  constexpr DWORD kErrorBadExeFormat = 193;
  ASSERT_TRUE(FormatMessageText(0x11C8, kErrorBadExeFormat).empty());
  const std::string raw = FormatMessageText(
      0x11C8 | FORMAT_MESSAGE_IGNORE_INSERTS, kErrorBadExeFormat);
  ASSERT_NE(std::string::npos, raw.find("%1")) << raw;
  EXPECT_EQ(raw, PlatformOs().SystemErrorText(kErrorBadExeFormat));
}

TEST(Win32OsEnvTest, EmptyVariablesExistAndLongValuesComeWhole) {
  OsLayer &os = PlatformOs();
  const char *name = "KORBR_WIN32_OS_TEST";
  std::string value = "left over";
  ASSERT_TRUE(::SetEnvironmentVariableA(name, nullptr) ||
              ::GetLastError() == ERROR_ENVVAR_NOT_FOUND);
  EXPECT_FALSE(os.GetEnv(name, &value));

  ASSERT_TRUE(::SetEnvironmentVariableA(name, ""));
  EXPECT_TRUE(os.GetEnv(name, &value));
  EXPECT_EQ("", value);

  ASSERT_TRUE(::SetEnvironmentVariableA(name, "64"));
  EXPECT_TRUE(os.GetEnv(name, &value));
  EXPECT_EQ("64", value);

  const std::string long_value(3000, 'k');
  ASSERT_TRUE(::SetEnvironmentVariableA(name, long_value.c_str()));
  EXPECT_TRUE(os.GetEnv(name, &value));
  EXPECT_EQ(long_value, value);
  ASSERT_TRUE(::SetEnvironmentVariableA(name, nullptr));
  EXPECT_FALSE(os.GetEnv(name, &value));
}

TEST(Win32OsTimeTest, ProcessTimesAreTheSystemsFileTimes) {
  OsLayer &os = PlatformOs();
  ProcessTimes first, second;
  ASSERT_TRUE(os.GetProcessTimes(&first));
  FILETIME creation, exit, kernel, user;
  ASSERT_TRUE(::GetProcessTimes(::GetCurrentProcess(), &creation, &exit,
                                &kernel, &user));
  ASSERT_TRUE(os.GetProcessTimes(&second));
  // Both halves of the FILETIME make the count, high half on top.
  const uint64_t created =
      (static_cast<uint64_t>(creation.dwHighDateTime) << 32) |
      creation.dwLowDateTime;
  EXPECT_EQ(created, first.creation);
  EXPECT_GT(first.creation, 0xFFFFFFFFu);
  EXPECT_LE(first.user, second.user);
  EXPECT_LE(first.kernel, second.kernel);

  const uint32_t before = ::GetTickCount();
  const uint32_t ticks = os.TickCount();
  const uint32_t after = ::GetTickCount();
  EXPECT_LE(static_cast<uint32_t>(ticks - before),
            static_cast<uint32_t>(after - before));
}

// This build drives no object store.  A backup to an "s3://" name goes
// the whole way of a disk open (directory check, free space, the volume's
// open) against the real system, and the host must hear 50 (a device this
// build cannot drive) for the volume, not some code of a mangled file name.
TEST(Win32ObjectStoreTest, AnS3NameIsRefusedWithNotSupportedForTheVolume) {
  OsLayer &os = PlatformOs();
  uint32_t error = 0;
  EXPECT_EQ(kInvalidOsHandle, os.OpenFile("s3://bk/sales.1", kGenericRead,
                                          kShareNone, kOpenExisting, &error));
  EXPECT_EQ(kErrorNotSupported, error);

  testkit::HostRecorder host;
  testkit::TestStripe stripe;
  {
    ScopedFakeOs fake;  // the handle is made as kor_open makes it
    stripe = testkit::MakeHandle(0, "devname=s3://bk/sales;dbtype=ZDBn");
  }
  ASSERT_STREQ("s3://bk/sales", stripe->devname);
  EXPECT_EQ(-1, OpenDiskDev(stripe.get(), kModeWrite));
  ASSERT_EQ(1u, host.errors.size());
  EXPECT_EQ(kErrVolume, host.errors[0].number);
  ASSERT_EQ(2u, host.errors[0].args.size());
  EXPECT_EQ("s3://bk/sales.1", host.errors[0].args[0]);
  EXPECT_EQ(os.SystemErrorText(kErrorNotSupported), host.errors[0].args[1]);
  EXPECT_EQ(kErrorNotSupported, stripe->last_os_error);
}

}  // namespace
}  // namespace kor
