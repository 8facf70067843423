// Tests of a backup run against the library on disk stripes.
//
// Strategy: each run backs up the same input file into a temporary
// directory, with the session's interrupt source replaced by one the test
// sets, so that an interrupt needs no signal.  A session routes the
// library's trace by pointing standard output elsewhere and setting KORDBG;
// the fixture puts both back.
#include "cli/pipeline/backup_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/session/host_session.h"
#include "cli/session/interrupts.h"

namespace kor {
namespace cli {
namespace {

// An interrupt source that says what the test set.
class SetInterrupt final : public InterruptSource {
 public:
  explicit SetInterrupt(bool interrupted) : interrupted_(interrupted) {}
  bool Interrupted() const override { return interrupted_; }

 private:
  bool interrupted_;
};

class BackupRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stdout_ = dup(1);
    ASSERT_GE(stdout_, 0);
    const char *kordbg = std::getenv("KORDBG");
    kordbg_set_ = kordbg != nullptr;
    if (kordbg_set_) kordbg_ = kordbg;
    char name[] = "/tmp/korbr-run-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    std::ofstream input(dir_ + "/input", std::ios::binary);
    for (int i = 0; i < 300000; ++i) input.put(static_cast<char>(i * 7));
  }
  void TearDown() override {
    std::fflush(stdout);
    dup2(stdout_, 1);
    close(stdout_);
    if (kordbg_set_) {
      setenv("KORDBG", kordbg_.c_str(), 1);
    } else {
      unsetenv("KORDBG");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Backs the input up into `name` with `interrupts` as the session's
  // source; true when the backup is whole.
  bool Backup(const std::string &name, const InterruptSource &interrupts) {
    SessionOptions options;
    options.command = "backup";
    options.quiet = true;
    options.wait_timeout_seconds = 10;
    options.devices = {"devname=" + dir_ + "/" + name + ";dbtype=ZDBn"};
    HostSession session(interrupts);
    std::string error;
    EXPECT_TRUE(session.Start(options, &error)) << error;
    session.SetDevices(options.devices, "db");
    BackupPlan plan;
    plan.input_fd = open((dir_ + "/input").c_str(), O_RDONLY);
    EXPECT_GE(plan.input_fd, 0);
    plan.dbname = "db";
    const bool whole = RunBackup(&session, plan);
    close(plan.input_fd);
    return whole;
  }

  std::string dir_;
  int stdout_ = -1;
  bool kordbg_set_ = false;
  std::string kordbg_;
};

// The run stops for the source its session hands it, whatever the
// process's signal flag says.
TEST_F(BackupRunTest, RunStopsWhenTheSessionsSourceSaysInterrupted) {
  EXPECT_TRUE(Backup("calm", SetInterrupt(false)));
  EXPECT_FALSE(Backup("interrupted", SetInterrupt(true)));
}

}  // namespace
}  // namespace cli
}  // namespace kor
