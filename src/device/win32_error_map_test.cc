// The expected table below is transcribed row by row from the error-class
// table the data path relies on (class, then its Win32 codes), not from the
// implementation.  Every listed code is checked, and every other code up to
// well beyond the Windows Sockets range is checked to take the default
// class, so a missing, extra or misplaced entry is caught.  The per-thread
// nature of the class is checked with a second std::thread.
#include "device/win32_error_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <thread>
#include <vector>

namespace kor {
namespace {

struct Row {
  int32_t error_class;
  std::vector<uint32_t> codes;
};

const std::vector<Row> &Rows() {
  static const std::vector<Row> rows = {
      {1, {2, 3, 123, 161, 267, 999}},
      {2, {208}},
      {3, {191, 192, 193}},
      {4, {6}},
      {5, {8, 14, 111, 122, 1001}},
      {6, {5, 1313, 1314, 1326, 1327, 1328, 1329, 1330, 1331}},
      {7, {80, 183}},
      {9, {12, 13, 19, 24, 87, 203, 209, 1004, 1307, 1308, 1332, 2202}},
      {10, {36}},
      {11, {4, 214}},
      {12, {112}},
      {14, {534}},
      {16, {995, 996}},
      {17, {128}},
      {19, {85, 108, 142, 148, 170, 212, 231, 2404}},
      {21, {107, 110, 113, 114, 1117}},
      {27, {29, 30, 31, 119, 1785}},
      {28, {86}},
      {29, {109, 230, 232, 233, 234, 535, 536}},
      {31, {25, 131, 132}},
      {33, {32, 33}},
      {34, {9, 487, 998}},
      {35, {206}},
      {36, {1005, 1006, 1200}},
      {38, {1}},
  };
  return rows;
}

// Every code with an entry of its own, with its class: the rows above plus
// the Windows Sockets codes 10035..10071 other than 10060, which keep their
// own number as class.
std::map<uint32_t, int32_t> ExpectedTable() {
  std::map<uint32_t, int32_t> table;
  for (const Row &row : Rows()) {
    for (uint32_t code : row.codes) {
      EXPECT_TRUE(table.emplace(code, row.error_class).second)
          << "code " << code << " listed twice";
    }
  }
  for (uint32_t code = 10035; code <= 10071; ++code) {
    if (code != 10060) table.emplace(code, static_cast<int32_t>(code));
  }
  return table;
}

TEST(Win32ErrorMapTest, ExpectedTableHas122Codes) {
  // Guards the transcription above: the table has 122 codes in all.
  EXPECT_EQ(ExpectedTable().size(), 122u);
}

TEST(Win32ErrorMapTest, EveryListedCodeTakesItsClass) {
  for (const auto &[code, error_class] : ExpectedTable()) {
    EXPECT_EQ(ErrorClassOf(code), error_class) << "code " << code;
  }
}

TEST(Win32ErrorMapTest, EveryOtherCodeTakesTheDefaultClass) {
  const std::map<uint32_t, int32_t> table = ExpectedTable();
  for (uint32_t code = 0; code <= 20000; ++code) {
    if (table.count(code) == 0) {
      ASSERT_EQ(ErrorClassOf(code), kClassDefault) << "code " << code;
    }
  }
  // Named cases: the other disk-full code, tape status codes, the socket
  // time-out, the first code past the sockets, and codes far above them.
  const uint32_t others[] = {39,    1100,  1101,        1104,
                             1112,  4982,  10060,       10072,
                             10034, 65535, 0x20000005u, 0xFFFFFFFFu};
  for (uint32_t code : others) {
    EXPECT_EQ(ErrorClassOf(code), kClassDefault) << "code " << code;
  }
}

TEST(Win32ErrorMapTest, ClassesTheDataPathActsOn) {
  EXPECT_EQ(ErrorClassOf(112), kClassDiskFull);
  EXPECT_EQ(ErrorClassOf(995), kClassInterrupted);
  EXPECT_EQ(ErrorClassOf(996), kClassInterrupted);
  EXPECT_EQ(ErrorClassOf(6), kClassInvalidHandle);
  EXPECT_EQ(kClassDiskFull, 12);
  EXPECT_EQ(kClassInterrupted, 16);
  EXPECT_EQ(kClassInvalidHandle, 4);
  EXPECT_EQ(kClassDefault, 38);
}

TEST(Win32ErrorMapTest, MappingSetsTheThreadClassAndReturnsMinusOne) {
  const uint32_t codes[] = {0, 1, 6, 112, 995, 1117, 10054, 10060, 10071,
                            10072, 0xFFFFFFFFu};
  for (uint32_t code : codes) {
    SetThreadErrorClass(-7);
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
  SetThreadErrorClass(21);
  EXPECT_EQ(ThreadErrorClass(), 21);
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
