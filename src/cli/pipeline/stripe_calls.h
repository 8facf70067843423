// What the stripe threads of both pipelines share: opening their stripe,
// the reason text of a failed library call, and the report of failed
// stripes at the end of a run.
#ifndef KORBR_CLI_STRIPE_CALLS_H_
#define KORBR_CLI_STRIPE_CALLS_H_

#include <cstdint>
#include <cstring>
#include <string>

#include "cli/session/host_session.h"
#include "korbr/korbr.h"

namespace kor {
namespace cli {

// The text the library left in `msg`, or a stand-in when it left none.
inline std::string BufferText(const MessageBuffer &msg) {
  if (msg.length <= 0) return "the library gave no reason";
  return std::string(msg.text, strnlen(msg.text, sizeof msg.text));
}

// Names the calling thread after `stripe`, keeps interrupts off it (the
// main thread takes them) and opens the stripe in `mode` (KOR_MODE_READ or
// KOR_MODE_WRITE).  The handle, or null with the reason in *msg.
inline void *OpenStripeInThisThread(HostSession *session, uint32_t stripe,
                                    int32_t mode, MessageBuffer *msg) {
  HostSession::BlockInterruptsInThisThread("korbr-stripe" +
                                           std::to_string(stripe));
  std::memset(msg, 0, sizeof *msg);
  return WatchedOpen(session, stripe, session->params(), mode, msg);
}

// Tells the operator why each failed stripe of `stripes` (owners of
// records with `index` and `error`) failed.  True when none did.
template <typename Stripes>
bool ReportFailedStripes(HostSession *session, const Stripes &stripes) {
  bool none = true;
  for (auto &s : stripes) {
    if (s->error.empty()) continue;
    session->Error("stripe " + std::to_string(s->index) + ": " +
                   session->ExplainFailure(s->index, s->error));
    none = false;
  }
  return none;
}

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_STRIPE_CALLS_H_
