// Which runs hold a secret, and that such a run really leaves the process
// non-dumpable.  A process stays non-dumpable for good, so each case runs
// GuardSecrets in a child of its own and reports what the child became.
#include "cli/session/secret_guard.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace kor {
namespace cli {
namespace {

// The child's exit status: 0 non-dumpable, 1 dumpable, 2 refused.
int DumpableAfterGuard(const std::vector<std::string> &devices,
                       bool encrypted,
                       const std::set<std::string> &set_variables) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::string error;
    const bool ok = GuardSecrets(
        devices, encrypted,
        [&](const char *name) { return set_variables.count(name) > 0; },
        &error);
    _exit(!ok ? 2 : prctl(PR_GET_DUMPABLE) == 0 ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

TEST(SecretGuardTest, OnlyAProcessHoldingASecretIsNotDumpable) {
  if (prctl(PR_GET_DUMPABLE) != 1) {
    GTEST_SKIP() << "the test process itself is not dumpable";
  }
  const std::string disk = "devname=/bk/s0;dbtype=ZDBn";
  const std::string tape = "devname=\\\\.\\TAPE0;dbtype=ZDBn";
  struct Case {
    const char *what;
    std::vector<std::string> devices;
    std::set<std::string> variables;
    bool holds_secret;
    bool encrypted = false;
  };
  const Case cases[] = {
      {"disk and tape, no key", {disk, tape}, {}, false},
      {"only the key id, which is no secret", {disk}, {"AWS_ACCESS_KEY_ID"},
       false},
      {"a secret key in the environment", {disk}, {"AWS_SECRET_ACCESS_KEY"},
       true},
      {"a session token in the environment", {tape}, {"AWS_SESSION_TOKEN"},
       true},
      {"an object store device", {disk, "devname=s3://b/k1;dbtype=ZDBn"}, {},
       true},
      {"the scheme in capitals", {"dbtype=ZDBn;DEVNAME=S3://b/k"}, {}, true},
      {"s3:// elsewhere than the devname", {disk + ";location=s3://b/k"}, {},
       false},
      {"an encrypted backup or restore", {disk, tape}, {}, true, true},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.holds_secret,
              HoldsSecrets(c.devices, c.encrypted, [&](const char *name) {
                return c.variables.count(name) > 0;
              })) << c.what;
    EXPECT_EQ(c.holds_secret ? 0 : 1,
              DumpableAfterGuard(c.devices, c.encrypted, c.variables))
        << c.what;
  }
}

}  // namespace
}  // namespace cli
}  // namespace kor
