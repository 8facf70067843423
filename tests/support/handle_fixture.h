// Building blocks for unit tests of the device, label and data-path layers.
//
// A test installs the scripted OS layer (DataPathTest does it, with Windows
// path names), makes a stripe handle the way kor_open would up to the
// device open (MakeHandle), and sees what the library tells the host
// through HostRecorder: every error with its arguments copied out as texts,
// every operator message, and the host's answer to cancellation polls.
//
// Error texts written into the message buffer have the form
// "<number>|<arg1>|<arg2>...", so a test can compare the buffer with the
// exact arguments.  Arguments are read as texts, as many as the message
// carries (support/message_catalog.h); a message the catalog does not know,
// or an argument past a message's last, fails the test.
#ifndef KORBR_TESTS_SUPPORT_HANDLE_FIXTURE_H_
#define KORBR_TESTS_SUPPORT_HANDLE_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/stripe_handle.h"
#include "korbr/korbr.h"
#include "os/fake_os.h"

namespace kor {
namespace testkit {

// One error or operator message as the host received it.
struct HostMessage {
  int32_t number = 0;
  std::vector<std::string> args;  // the text arguments, in order
};

// Registers the three host callbacks for its lifetime (one recorder at a
// time) and records what arrives.  Unregisters them when destroyed.  A wait
// that nothing in the test ends is cancelled after 100000 polls and fails
// the test instead of running through virtual time for good.
class HostRecorder {
 public:
  HostRecorder();
  ~HostRecorder();
  HostRecorder(const HostRecorder &) = delete;
  HostRecorder &operator=(const HostRecorder &) = delete;

  std::vector<HostMessage> errors;  // through the format-string callback
  std::vector<HostMessage> infos;   // through the info callback
  int cancel_polls = 0;             // times the cancelled callback ran

  // Runs inside the info callback, after the message is recorded.
  std::function<void(const HostMessage &)> on_info;
  // The host's answer to a cancellation poll (poll number from 1); never
  // cancels when empty.
  std::function<bool(int poll)> cancel;

  // Numbers of the recorded errors / operator messages, in order.
  std::vector<int32_t> ErrorNumbers() const;
  std::vector<int32_t> InfoNumbers() const;
};

// A stripe handle made as kor_open makes it before the device is opened,
// with its own message buffer.  Not registered with the process.
struct TestStripe {
  std::unique_ptr<StripeHandle> handle;
  std::unique_ptr<MessageBuffer> message;

  StripeHandle *get() const { return handle.get(); }
  StripeHandle *operator->() const { return handle.get(); }
  // The text of the last error raised into the message buffer.
  std::string MessageText() const;
};

// InitHandle, stripe and message buffer, device string, media kind, and a
// block buffer for a tape stripe.  A rejected device string fails the
// calling test.  Needs the fake OS layer installed.
TestStripe MakeHandle(int32_t stripe, const std::string &devstring);

// Opens a tape stripe's drive directly through the OS layer, without the
// library's tape open (no status wait, no block size set), and stores the
// handle: for tests of the layers above that want the drive as it is.
// True when the drive opened.
bool OpenTapeHandle(StripeHandle *h);

// The three header labels and the 160-byte trailer units as a volume
// carries them.
std::vector<uint8_t> HeaderLabelBytes(int32_t stripe, int32_t volume);
std::vector<uint8_t> EovRecordBytes();
std::vector<uint8_t> EofRecordBytes();

// `count` bytes of a pattern that depends on `seed` and the position and
// never contains the letter 'E' (so it cannot be taken for labels).
std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed);

// Concatenation helper.
void Append(std::vector<uint8_t> *to, const std::vector<uint8_t> &bytes);

// Base for data-path tests: the fake OS layer with Windows names, an empty
// scripted environment for the library's variables, a fresh trace memory,
// and a host recorder.
class DataPathTest : public ::testing::Test {
 protected:
  DataPathTest();

  // Trace lines written so far, without their newlines.
  std::vector<std::string> Trace() const;
  // True when some trace line equals `line` (given without newline).
  bool Traced(const std::string &line) const;
  // True when some trace line contains `part`.
  bool TraceContains(const std::string &part) const;

  mutable ScopedFakeOs fake_;
  HostRecorder host_;
};

}  // namespace testkit
}  // namespace kor

#endif  // KORBR_TESTS_SUPPORT_HANDLE_FIXTURE_H_
