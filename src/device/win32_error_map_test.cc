// The error classes as the data path meets them: the codes it acts on
// reach their classes and no other code does, the POSIX backend's errno
// translation lands in them, and the class is kept per thread (checked
// with a second std::thread).
#include "device/win32_error_map.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <thread>

#if !defined(_WIN32)
#include "os/posix_os.h"
#endif

namespace kor {
namespace {

// The three classes the data path acts on, and the codes that must reach
// each: a full disk makes a write hold its bytes, an interrupted transfer
// is repeated, an invalid handle ends a repeated close.  Any other code
// given one of these classes would make the data path wait, repeat or stop
// on a failure that is none of them.
const std::map<uint32_t, int32_t> &ActedOn() {
  static const std::map<uint32_t, int32_t> codes = {
      {112, kClassDiskFull},      // ERROR_DISK_FULL
      {995, kClassInterrupted},   // ERROR_OPERATION_ABORTED
      {996, kClassInterrupted},   // ERROR_IO_INCOMPLETE
      {6, kClassInvalidHandle},   // ERROR_INVALID_HANDLE
  };
  return codes;
}

bool IsActedOn(int32_t error_class) {
  return error_class == kClassDiskFull || error_class == kClassInterrupted ||
         error_class == kClassInvalidHandle;
}

TEST(Win32ErrorMapTest, OnlyTheirOwnCodesReachTheClassesTheDataPathActsOn) {
  for (uint32_t code = 0; code <= 20000; ++code) {
    const auto found = ActedOn().find(code);
    const int32_t error_class = ErrorClassOf(code);
    if (found != ActedOn().end()) {
      EXPECT_EQ(error_class, found->second) << "code " << code;
    } else {
      ASSERT_FALSE(IsActedOn(error_class)) << "code " << code;
    }
  }
  // ERROR_HANDLE_DISK_FULL is a failed write, not a full disk to wait on;
  // codes far above the table take the default class.
  for (uint32_t code : {39u, 65535u, 0x20000005u, 0xFFFFFFFFu})
    EXPECT_EQ(ErrorClassOf(code), kClassDefault) << "code " << code;
}

#if !defined(_WIN32)
// What the POSIX backend reports for the failures the data path must tell
// apart arrives in the right class: a quota as much as a full disk, an
// interrupted call, a closed descriptor; other failures in none of them.
TEST(Win32ErrorMapTest, PosixFailuresReachTheirClasses) {
  struct Case {
    int err;
    int32_t error_class;  // 0: a class the data path does not act on
  };
  const Case cases[] = {
      {ENOSPC, kClassDiskFull}, {EDQUOT, kClassDiskFull},
      {EINTR, kClassInterrupted}, {EBADF, kClassInvalidHandle},
      {EIO, 0}, {EACCES, 0}, {ENOENT, 0}, {EROFS, 0}, {EFBIG, 0},
  };
  for (const Case &c : cases) {
    const int32_t error_class = ErrorClassOf(Win32ErrorFromErrno(c.err));
    if (c.error_class != 0) {
      EXPECT_EQ(error_class, c.error_class) << "errno " << c.err;
    } else {
      EXPECT_FALSE(IsActedOn(error_class)) << "errno " << c.err;
    }
  }
}
#endif  // !_WIN32

TEST(Win32ErrorMapTest, MappingSetsTheThreadClassAndReturnsMinusOne) {
  const uint32_t codes[] = {0, 1, 6, 112, 995, 1117, 10054, 10060, 10071,
                            10072, 0xFFFFFFFFu};
  for (uint32_t code : codes) {
    MapWin32Error(code == 112 ? 995 : 112);  // a class to be replaced
    EXPECT_EQ(MapWin32Error(code), -1) << "code " << code;
    EXPECT_EQ(ThreadErrorClass(), ErrorClassOf(code)) << "code " << code;
  }
  EXPECT_EQ(ThreadErrorClass(), kClassDefault);
  MapWin32Error(10054);
  EXPECT_EQ(ThreadErrorClass(), 10054);
}

TEST(Win32ErrorMapTest, LookingUpAClassLeavesTheThreadClassAlone) {
  MapWin32Error(112);
  EXPECT_EQ(ErrorClassOf(995), kClassInterrupted);
  EXPECT_EQ(ThreadErrorClass(), kClassDiskFull);
}

TEST(Win32ErrorMapTest, ClassIsKeptPerThread) {
  MapWin32Error(112);
  int32_t other_before = -1;
  int32_t other_after = -1;
  std::thread other([&] {
    other_before = ThreadErrorClass();
    MapWin32Error(995);
    other_after = ThreadErrorClass();
  });
  other.join();
  EXPECT_EQ(other_before, 0);  // a fresh thread starts with no class
  EXPECT_EQ(other_after, kClassInterrupted);
  EXPECT_EQ(ThreadErrorClass(), kClassDiskFull);
}

}  // namespace
}  // namespace kor
