// The wait watch gives up a wait for a tape drive that exists nowhere
// after a minute when nobody attends it, and only then; the clock is the
// test's own, so nothing sleeps.
#include "cli/session/wait_watch.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "cli/session/console.h"
#include "cli/session/stripe_devices.h"

namespace kor {
namespace cli {
namespace {

int64_t g_now_ms = 0;
int64_t TestNowMs() { return g_now_ms; }

TEST(WaitWatchTest, AnAbsentDriveIsGivenUpAfterAMinuteWhenUnattended) {
  char name[] = "/tmp/korbr-watch-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  const std::string dir = name;
  ASSERT_EQ(setenv("KOR_DEVICE_DIR", dir.c_str(), 1), 0);
  struct Case {
    bool operator_present;
    std::string extra_keys;  // of the device string
    int64_t timeout_ms;      // -1: none given
    bool gives_up_at_a_minute;
  } cases[] = {
      {false, "", -1, true},              // no terminal
      {true, ";attended=0", -1, true},    // the device string says so
      {true, "", -1, false},              // an operator can end it
      {false, "", 7200 * 1000, false},    // --wait-timeout rules
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.extra_keys + (c.operator_present ? " attended" : ""));
    Console console;
    console.Configure("backup", true);
    StripeDevices devices;
    devices.Set({"devname=\\\\.\\TAPE9;dbtype=ZDBn" + c.extra_keys}, "db");
    WaitWatch watch(&console, &devices, TestNowMs);
    WaitWatch::Policy policy;
    policy.writing = true;
    policy.operator_present = c.operator_present;
    policy.timeout_given = c.timeout_ms >= 0;
    policy.timeout_ms = c.timeout_ms;
    watch.SetPolicy(policy);
    g_now_ms = 1000;
    watch.BeginCall(0);
    g_now_ms += 59 * 1000;
    watch.Poll();
    EXPECT_FALSE(watch.GaveUp());
    g_now_ms += 1000;
    watch.Poll();
    EXPECT_EQ(c.gives_up_at_a_minute, watch.GaveUp());
    if (c.gives_up_at_a_minute) {
      // The error names where the drive was looked for.
      const std::string why = watch.ExplainFailure(0, "library text");
      EXPECT_NE(why.find("neither " + dir + "/TAPE9 nor " + dir + "/nst9"),
                std::string::npos)
          << why;
    }
    watch.EndCall(0);
  }
  unsetenv("KOR_DEVICE_DIR");
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace cli
}  // namespace kor
