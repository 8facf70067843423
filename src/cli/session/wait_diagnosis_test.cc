// The causes korbr names for a library wait, from what it finds on disk:
// each case builds a device directory or a volume directory and checks the
// line names the drive, the cartridge or the file system, and the way out.
#include "cli/session/wait_diagnosis.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace kor {
namespace cli {
namespace {

class WaitDiagnosisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/korbr-wait-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  // A virtual drive directory with the given state lines.
  void MakeDrive(const std::string &name, const std::string &state) {
    const std::string drive = dir_ + "/" + name;
    ASSERT_EQ(mkdir(drive.c_str(), 0700), 0);
    std::ofstream(drive + "/korbr-vtape.state") << state;
  }
  std::string dir_;
};

TEST_F(WaitDiagnosisTest, TapeWaitsNameTheDriveAndTheWayOut) {
  MakeDrive("TAPE0", "cartridges=3\nloaded=0\n");
  MakeDrive("TAPE1", "cartridges=3\nloaded=2\nprotected=1,2\n");
  MakeDrive("TAPE2", "cartridges=3\nloaded=1\n");
  std::ofstream(dir_ + "/nst7") << "";  // what TAPE7 falls back to
  struct Case {
    std::string drive;
    uint32_t wanted;
    bool writing;
    std::string expected;  // a part of the line; "" for no cause
  } cases[] = {
      {"\\\\.\\TAPE9", 0, true,
       "no tape drive \\\\.\\TAPE9 in " + dir_ + ": neither " + dir_ +
           "/TAPE9 nor " + dir_ + "/nst9 exists"},
      {"\\\\.\\TAPE0", 0, true,
       "no cartridge in \\\\.\\TAPE0: load one (korbr vtape load"},
      {"\\\\.\\TAPE0", 2, false,
       "load cartridge 2 into \\\\.\\TAPE0 (korbr vtape load "
       "'\\\\.\\TAPE0' 2)"},
      {"\\\\.\\TAPE1", 0, true,
       "cartridge 2 in \\\\.\\TAPE1 is write-protected"},
      {"\\\\.\\TAPE1", 0, false, ""},  // reading a protected cartridge
      {"\\\\.\\TAPE2", 0, true, ""},   // loaded and writable: no cause seen
      {"\\\\.\\TAPE7", 0, true,
       "\\\\.\\TAPE7 (" + dir_ + "/nst7) is not ready"},
      // Never looked up outside the device directory.
      {"\\\\.\\../" + dir_.substr(dir_.rfind('/') + 1) + "/TAPE2", 0, true,
       "is no tape drive name"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.drive);
    const std::string line =
        DiagnoseTapeWait(c.drive, dir_, c.wanted, c.writing);
    if (c.expected.empty()) {
      EXPECT_EQ(line, "");
    } else {
      EXPECT_NE(line.find(c.expected), std::string::npos) << line;
    }
  }
}

TEST_F(WaitDiagnosisTest, DiskWaitsCompareFreeSpaceWithReqfreekb) {
  // No file system has 2^50 KB free; every one has more than 0 KB... or
  // is full, which a test machine's /tmp is not.
  const std::string prefix = dir_ + "/vol";
  const std::string none = DiagnoseDiskWait(prefix, uint64_t{1} << 50);
  EXPECT_NE(none.find("holding the volume files of " + prefix + " is full"),
            std::string::npos)
      << none;
  // Volume 2 is being written: its tail labels are not there yet.  The
  // line names it, and says nothing that a give-up would contradict.
  std::ofstream(prefix + ".1") << std::string(228, 'h') << std::string(80, 'd')
                               << "EOV1" << std::string(76, ' ') << "EOV2"
                               << std::string(76, ' ');
  std::ofstream(prefix + ".2") << std::string(300, 'h');
  const std::string full = DiagnoseDiskWait(prefix, uint64_t{1} << 50);
  EXPECT_NE(full.find("holding volume file " + prefix + ".2 is full"),
            std::string::npos)
      << full;
  EXPECT_EQ(full.find("goes on"), std::string::npos) << full;
  EXPECT_EQ(DiagnoseDiskWait(prefix, 0), "");
  // Through the device string: its prefix and reqfreekb.
  const std::string line = DiagnoseWait(
      "devname=" + prefix + ";dbtype=ZDBn;reqfreekb=1125899906842624", 0,
      true);
  EXPECT_NE(line.find("volume file " + prefix + ".2"), std::string::npos)
      << line;
  EXPECT_EQ(DiagnoseWait("devname=" + prefix + ";dbtype=ZDBn", 0, true), "");
}

}  // namespace
}  // namespace cli
}  // namespace kor
