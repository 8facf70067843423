// Tests of the host's callback registration.
//
// Strategy: the host registers a distinct recorder for each of its three
// callbacks through the exported functions, then each event is raised the
// way the library raises it (an error, an operator message, the OS layer's
// poll for cancellation during its own waits); the log shows which recorder
// answered.  The callbacks are process-wide, so the test unregisters them
// again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/cancellation.h"
#include "diag/error_report.h"
#include "korbr/korbr.h"
#include "os/cancel_probe.h"
#include "os/fake_os.h"

namespace kor {
namespace {

std::vector<std::string> g_calls;

void KOR_CALL RecordFormat(int32_t number, char *text, int32_t,
                           KorMessageArg *) {
  g_calls.push_back("format " + std::to_string(number));
  text[0] = '\0';
}

void KOR_CALL RecordInfo(int32_t number, KorMessageArg *, int32_t, void *) {
  g_calls.push_back("info " + std::to_string(number));
}

int32_t KOR_CALL RecordCancelled() {
  g_calls.push_back("cancelled");
  return 1;
}

struct Event {
  const char *name;
  const char *answered_by;  // what the recorders log; "" when nobody
  // Raises the event; the result says whether the library saw a cancel.
  bool (*raise)(DiagContext *h);
};

const Event kEvents[] = {
    {"an error", "format 6920",
     [](DiagContext *h) {
       RaiseError(h, kErrVolume, {"d:\\bk\\s1"});
       return false;
     }},
    {"an operator message", "info 9234",
     [](DiagContext *h) {
       PostInfo(h, kMsgMountVolume, {1, "d:\\bk\\s1"});
       return false;
     }},
    {"a poll from the library", "cancelled",
     [](DiagContext *) { return HostCancelled(); }},
    {"a poll from the OS layer's waits", "cancelled",
     [](DiagContext *) { return CancelRequested(); }},
};

// What the recorders logged while `event` was raised.
std::string Answer(const Event &event, bool *cancelled) {
  MessageBuffer buffer = {};
  DiagContext h{0, 0, &buffer, 0};
  g_calls.clear();
  *cancelled = event.raise(&h);
  std::string log;
  for (const std::string &call : g_calls) log += (log.empty() ? "" : ", ") + call;
  return log;
}

TEST(CallbackRegistrationTest, EachEventReachesTheCallbackRegisteredForIt) {
  ScopedFakeOs fake;
  kor_register_format_string(&RecordFormat);
  kor_register_info_callback(&RecordInfo);
  kor_register_cancelled(&RecordCancelled);
  for (const Event &event : kEvents) {
    bool cancelled = false;
    EXPECT_EQ(event.answered_by, Answer(event, &cancelled)) << event.name;
    EXPECT_EQ(std::string(event.answered_by) == "cancelled", cancelled)
        << event.name;
  }

  // Unregistered, a callback hears of nothing more.
  kor_register_format_string(nullptr);
  kor_register_info_callback(nullptr);
  kor_register_cancelled(nullptr);
  for (const Event &event : kEvents) {
    bool cancelled = true;
    EXPECT_EQ("", Answer(event, &cancelled)) << event.name;
    EXPECT_FALSE(cancelled) << event.name;
  }
}

}  // namespace
}  // namespace kor
