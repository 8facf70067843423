#include "support/handle_fixture.h"

#include <cstdio>
#include <cstring>

#include "core/process_state.h"
#include "devstring/archdev_parser.h"
#include "devstring/media_kind.h"
#include "diag/error_report.h"
#include "diag/host_callbacks.h"
#include "diag/trace_log.h"
#include "label/label_format.h"
#include "os/win32_codes.h"
#include "support/message_catalog.h"

namespace kor {
namespace testkit {
namespace {

HostRecorder *g_recorder = nullptr;

// Copies the text arguments out while the callback runs (they are valid
// only then): up to the message's count, and nothing may follow them.
HostMessage Capture(int32_t number, const KorMessageArg *args) {
  HostMessage message;
  message.number = number;
  const int count = MessageArgumentCount(number);
  EXPECT_GE(count, 0) << "the library sent message " << number
                      << ", which no host knows";
  int i = 0;
  for (; i < count && args[i] != 0; ++i)
    message.args.emplace_back(reinterpret_cast<const char *>(args[i]));
  for (; i < KOR_MAX_MESSAGE_ARGS; ++i)
    EXPECT_EQ(0, args[i]) << "message " << number << " has an argument in "
                          << "slot " << i << ", past its last";
  return message;
}

void KOR_CALL FormatCallback(int32_t number, char *text, int32_t size,
                             KorMessageArg *args) {
  HostMessage message = Capture(number, args);
  std::string words = std::to_string(number);
  for (const std::string &arg : message.args) words += "|" + arg;
  std::snprintf(text, static_cast<size_t>(size), "%s", words.c_str());
  if (g_recorder != nullptr) g_recorder->errors.push_back(message);
}

void KOR_CALL InfoCallback(int32_t number, KorMessageArg *args,
                           int32_t /*two*/, void * /*record*/) {
  if (g_recorder == nullptr) return;
  g_recorder->infos.push_back(Capture(number, args));
  if (g_recorder->on_info) g_recorder->on_info(g_recorder->infos.back());
}

// A wait that nothing in the test will ever end (a drive left empty, a
// disk never freed) is cancelled here and fails the test, rather than
// spinning through virtual time for good.
constexpr int kEndlessWaitPolls = 100000;

int32_t KOR_CALL CancelledCallback() {
  if (g_recorder == nullptr) return 0;
  const int poll = ++g_recorder->cancel_polls;
  if (poll == kEndlessWaitPolls) {
    ADD_FAILURE() << "the library kept waiting: cancelled by the test host";
  }
  if (poll >= kEndlessWaitPolls) return 1;
  return g_recorder->cancel && g_recorder->cancel(poll) ? 1 : 0;
}

std::vector<uint8_t> Bytes(const char *data, size_t size) {
  return std::vector<uint8_t>(data, data + size);
}

}  // namespace

HostRecorder::HostRecorder() {
  g_recorder = this;
  SetFormatStringCallback(&FormatCallback);
  SetInfoCallback(&InfoCallback);
  SetCancelledCallback(&CancelledCallback);
}

HostRecorder::~HostRecorder() {
  SetFormatStringCallback(nullptr);
  SetInfoCallback(nullptr);
  SetCancelledCallback(nullptr);
  g_recorder = nullptr;
}

std::vector<int32_t> HostRecorder::ErrorNumbers() const {
  std::vector<int32_t> numbers;
  for (const HostMessage &m : errors) numbers.push_back(m.number);
  return numbers;
}

std::vector<int32_t> HostRecorder::InfoNumbers() const {
  std::vector<int32_t> numbers;
  for (const HostMessage &m : infos) numbers.push_back(m.number);
  return numbers;
}

std::string TestStripe::MessageText() const {
  return std::string(message->text,
                     strnlen(message->text, KOR_MESSAGE_TEXT_SIZE));
}

TestStripe MakeHandle(int32_t stripe, const std::string &devstring) {
  TestStripe s;
  s.handle.reset(new StripeHandle);
  s.message.reset(new MessageBuffer);
  std::memset(s.message.get(), 0, sizeof(MessageBuffer));
  StripeHandle *h = s.handle.get();
  InitHandle(h);
  h->stripe = stripe;
  h->message_buffer = s.message.get();
  EXPECT_EQ(0, ParseArchdev(h, devstring.c_str())) << devstring;
  ClassifyMedia(h);
  if (h->media_type == MEDIA_TAPE) {
    h->block_buffer.reset(new uint8_t[static_cast<size_t>(h->blocksize) + 4]);
    std::memset(h->block_buffer.get(), 0, static_cast<size_t>(h->blocksize) + 4);
  }
  h->open_state = 0;
  return s;
}

bool OpenTapeHandle(StripeHandle *h) {
  uint32_t error = 0;
  h->device_handle = Os().OpenFile(h->devname, kGenericRead | kGenericWrite,
                                   kShareReadWrite, kOpenExisting, &error);
  return h->device_handle != kInvalidOsHandle;
}

std::vector<uint8_t> HeaderLabelBytes(int32_t stripe, int32_t volume) {
  char area[kLabelSize];
  std::vector<uint8_t> bytes = Bytes(BuildVol1Label(area, stripe, volume),
                                     kLabelSize);
  Append(&bytes, Bytes(BuildHdr1Label(area), kHdr1Size));
  Append(&bytes, Bytes(BuildHdr2Label(area), kLabelSize));
  return bytes;
}

std::vector<uint8_t> EovRecordBytes() {
  char area[kTrailerSize];
  return Bytes(BuildEovRecord(area), kTrailerSize);
}

std::vector<uint8_t> EofRecordBytes() {
  char area[kTrailerSize];
  return Bytes(BuildEofRecord(area), kTrailerSize);
}

std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t state = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < count; ++i) {
    state = state * 1103515245u + 12345u;
    uint8_t b = static_cast<uint8_t>(state >> 16);
    if (b == 'E') b = 'e';
    bytes[i] = b;
  }
  return bytes;
}

void Append(std::vector<uint8_t> *to, const std::vector<uint8_t> &bytes) {
  to->insert(to->end(), bytes.begin(), bytes.end());
}

DataPathTest::DataPathTest() : fake_(PathStyle::kWindows) {
  fake_->UnsetEnv("KORDBG");
  fake_->UnsetEnv("KORIOPROF");
  fake_->UnsetEnv("KOR_DO_NOT_OFFL");
  fake_->SetCurrentDirectory("C:\\work");
  fake_->AddDirectory("C:\\bk");
  fake_->SetFreeSpace(uint64_t{1} << 40);
  ResetTraceMemoryForTesting();
}

std::vector<std::string> DataPathTest::Trace() const {
  std::vector<std::string> lines;
  for (std::string line : fake_->TraceLines()) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool DataPathTest::Traced(const std::string &line) const {
  for (const std::string &l : Trace())
    if (l == line) return true;
  return false;
}

bool DataPathTest::TraceContains(const std::string &part) const {
  for (const std::string &l : Trace())
    if (l.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace testkit
}  // namespace kor
