// Tests of error and operator-message delivery and of the cancellable wait.
//
// Strategy: the host callbacks are plain C function pointers, so the test
// installs recorders that copy everything they receive (number, text
// pointer, size, all 16 argument slots, the info record's bytes) into
// statics, and can be told what text to write back.  Each test resets them
// and unregisters the callbacks in teardown.  Waits run on the fake OS
// layer's virtual clock; the cancelled callback answers from a script.
#include "diag/error_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/cancellation.h"
#include "diag/host_callbacks.h"
#include "os/fake_os.h"

namespace kor {
namespace {

// What the format-string callback saw, and what it writes.
int g_format_calls;
int32_t g_format_number;
char *g_format_text;
int32_t g_format_size;
KorMessageArg g_format_args[KOR_MAX_MESSAGE_ARGS];
std::string g_format_reply;
bool g_format_unterminated;  // fill the whole area without a NUL

void KOR_CALL RecordFormat(int32_t number, char *text, int32_t size,
                           KorMessageArg *args) {
  ++g_format_calls;
  g_format_number = number;
  g_format_text = text;
  g_format_size = size;
  std::memcpy(g_format_args, args, sizeof g_format_args);
  if (g_format_unterminated) {
    std::memset(text, 'u', static_cast<size_t>(size));
  } else {
    std::memcpy(text, g_format_reply.c_str(), g_format_reply.size() + 1);
  }
}

// What the info callback saw.
int g_info_calls;
int32_t g_info_number;
int32_t g_info_two;
KorMessageArg g_info_args[KOR_MAX_MESSAGE_ARGS];
unsigned char g_info_record[sizeof(InfoRecord)];
std::string g_info_first_text;

void KOR_CALL RecordInfo(int32_t number, KorMessageArg *args, int32_t two,
                         void *record) {
  ++g_info_calls;
  g_info_number = number;
  g_info_two = two;
  std::memcpy(g_info_args, args, sizeof g_info_args);
  std::memcpy(g_info_record, record, sizeof g_info_record);
}

void KOR_CALL RecordInfoText(int32_t number, KorMessageArg *args, int32_t two,
                             void *record) {
  RecordInfo(number, args, two, record);
  g_info_first_text = reinterpret_cast<const char *>(args[0]);
}

// The cancelled callback answers nonzero from poll number g_cancel_at on
// (counted from 1); 0 never cancels.
int g_polls;
int g_cancel_at;

int32_t KOR_CALL ScriptedCancel() {
  ++g_polls;
  return g_cancel_at != 0 && g_polls >= g_cancel_at ? 1 : 0;
}

class ErrorReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_format_calls = 0;
    g_format_number = 0;
    g_format_text = nullptr;
    g_format_size = 0;
    std::memset(g_format_args, 0x5a, sizeof g_format_args);
    g_format_reply = "formatted";
    g_format_unterminated = false;
    g_info_calls = 0;
    g_info_number = 0;
    g_info_two = 0;
    std::memset(g_info_args, 0x5a, sizeof g_info_args);
    std::memset(g_info_record, 0x5a, sizeof g_info_record);
    g_info_first_text.clear();
    g_polls = 0;
    g_cancel_at = 0;
    SetFormatStringCallback(&RecordFormat);
    SetInfoCallback(&RecordInfo);
    SetCancelledCallback(nullptr);

    h_ = DiagContext{0, kDefaultTraceMask, nullptr, 0};
    std::memset(&buffer_, 0x5a, sizeof buffer_);
    h_.message_buffer = &buffer_;
  }
  void TearDown() override {
    SetFormatStringCallback(nullptr);
    SetInfoCallback(nullptr);
    SetCancelledCallback(nullptr);
  }

  ScopedFakeOs fake_;
  DiagContext h_;
  MessageBuffer buffer_;
};

TEST_F(ErrorReportTest, HostWritesIntoTheMessageBufferOfTheCall) {
  const std::string device = "d:\\bk\\s1";
  g_format_reply = "cannot open d:\\bk\\s1.1";
  RaiseError(&h_, kErrVolume, {device, "system text 2"});

  EXPECT_EQ(1, g_format_calls);
  EXPECT_EQ(6920, g_format_number);
  EXPECT_EQ(buffer_.text, g_format_text);
  EXPECT_EQ(1024, g_format_size);
  EXPECT_EQ(device.c_str(), reinterpret_cast<const char *>(g_format_args[0]));
  EXPECT_STREQ("system text 2",
               reinterpret_cast<const char *>(g_format_args[1]));
  for (int i = 2; i < KOR_MAX_MESSAGE_ARGS; ++i) {
    EXPECT_EQ(0, g_format_args[i]) << "slot " << i;
  }
  EXPECT_STREQ("cannot open d:\\bk\\s1.1", buffer_.text);
  EXPECT_EQ(22, buffer_.length);
  EXPECT_EQ(6920, h_.last_error);
}

TEST_F(ErrorReportTest, AtMostSixteenArgumentsAreHandedOn) {
  RaiseError(&h_, kErrWrite, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                              15, 16, 17, 18, 19, 20});
  for (int i = 0; i < KOR_MAX_MESSAGE_ARGS; ++i) {
    EXPECT_EQ(i + 1, g_format_args[i]);
  }

  PostInfo(&h_, kMsgMountVolume, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                  14, 15, 16, 17, 18, 19, 20});
  for (int i = 0; i < KOR_MAX_MESSAGE_ARGS; ++i) {
    EXPECT_EQ(i + 1, g_info_args[i]);
  }
}

TEST_F(ErrorReportTest, NoArgumentsLeaveEverySlotUnset) {
  RaiseError(&h_, kErrBadDeviceString);
  PostInfo(&h_, kMsgMountVolume);
  for (int i = 0; i < KOR_MAX_MESSAGE_ARGS; ++i) {
    EXPECT_EQ(0, g_format_args[i]) << "slot " << i;
    EXPECT_EQ(0, g_info_args[i]) << "slot " << i;
  }
  // Negative integers travel sign-extended to the slot width.
  RaiseError(&h_, kErrBadDeviceString, {-1});
  EXPECT_EQ(-1, g_format_args[0]);
}

TEST_F(ErrorReportTest, EmptyTextGivesLengthZeroAndStillSetsTheNumber) {
  g_format_reply = "";
  RaiseError(&h_, kErrCloseMode);
  EXPECT_EQ(0, buffer_.length);
  EXPECT_EQ(6930, h_.last_error);
}

TEST_F(ErrorReportTest, SecondErrorOfACallWins) {
  g_format_reply = "a rather longer first text";
  RaiseError(&h_, kErrFreeSpace, {"d:\\bk"});
  g_format_reply = "second";
  RaiseError(&h_, kErrFreeSpace + 1, {"d:\\bk\\s1"});
  EXPECT_STREQ("second", buffer_.text);
  EXPECT_EQ(6, buffer_.length);
  EXPECT_EQ(6930, h_.last_error);
}

TEST_F(ErrorReportTest, UnterminatedHostTextIsCutInsideTheBuffer) {
  g_format_unterminated = true;
  RaiseError(&h_, kErrRead);
  EXPECT_EQ(1023, buffer_.length);
  EXPECT_EQ('\0', buffer_.text[1023]);
  EXPECT_EQ('u', buffer_.text[1022]);
}

TEST_F(ErrorReportTest, WithoutFormatCallbackTheNumberIsNamed) {
  SetFormatStringCallback(nullptr);
  RaiseError(&h_, kErrVolume, {"d:\\bk\\s1"});
  EXPECT_STREQ("korbr error 6920", buffer_.text);
  EXPECT_EQ(16, buffer_.length);
  EXPECT_EQ(6920, h_.last_error);
  EXPECT_EQ(0, g_format_calls);
}

TEST_F(ErrorReportTest, NullMessageBufferStillSetsLastError) {
  h_.message_buffer = nullptr;
  RaiseError(&h_, kErrTapemark, {"\\\\.\\Tape0", "text"});
  EXPECT_EQ(0, g_format_calls);
  EXPECT_EQ(6931, h_.last_error);
}

TEST_F(ErrorReportTest, InfoRecordCarriesOnlyTheNumber) {
  SetInfoCallback(&RecordInfoText);
  PostInfo(&h_, kMsgSmallCapacity, {"100"});
  EXPECT_EQ(1, g_info_calls);
  EXPECT_EQ(9237, g_info_number);
  EXPECT_EQ(2, g_info_two);
  EXPECT_EQ("100", g_info_first_text);
  EXPECT_EQ(0, g_info_args[1]);

  unsigned char expected[sizeof(InfoRecord)] = {};
  const uint32_t number = 9237;
  std::memcpy(expected + 4, &number, sizeof number);
  EXPECT_EQ(0, std::memcmp(expected, g_info_record, sizeof expected));
  // Errors go to the message buffer, not to the info callback, and
  // operator messages leave the handle alone.
  EXPECT_EQ(0, h_.last_error);
  EXPECT_EQ(0, g_format_calls);
}

TEST_F(ErrorReportTest, InfoWithoutCallbackIsSkipped) {
  SetInfoCallback(nullptr);
  PostInfo(&h_, kMsgBackupVolume, {"2", "\\\\.\\Tape0"});
  EXPECT_EQ(0, g_info_calls);
  EXPECT_EQ(0, h_.last_error);
}

TEST_F(ErrorReportTest, SystemTextComesFromTheOsLayer) {
  EXPECT_EQ(fake_->SystemErrorText(112), SystemText(112));
  EXPECT_FALSE(SystemText(5).empty());
}

TEST_F(ErrorReportTest, HostCancelledFollowsTheCallback) {
  EXPECT_FALSE(HostCancelled());  // none registered
  SetCancelledCallback(&ScriptedCancel);
  g_cancel_at = 2;
  EXPECT_FALSE(HostCancelled());
  EXPECT_TRUE(HostCancelled());
  EXPECT_EQ(2, g_polls);
}

TEST_F(ErrorReportTest, UncancelledWaitPollsAndSleepsEverySecond) {
  SetCancelledCallback(&ScriptedCancel);
  EXPECT_EQ(0, SleepInterruptible(10));
  EXPECT_EQ(10, g_polls);
  EXPECT_EQ(10, fake_->SleepCalls());
  EXPECT_EQ(10000u, fake_->SleptMilliseconds());
}

TEST_F(ErrorReportTest, CancelEndsTheWaitBeforeTheNextSleep) {
  SetCancelledCallback(&ScriptedCancel);
  g_cancel_at = 1;
  EXPECT_EQ(-1, SleepInterruptible(10));
  EXPECT_EQ(1, g_polls);
  EXPECT_EQ(0, fake_->SleepCalls());

  g_polls = 0;
  g_cancel_at = 3;
  EXPECT_EQ(-1, SleepInterruptible(100));
  EXPECT_EQ(3, g_polls);
  EXPECT_EQ(2000u, fake_->SleptMilliseconds());
}

TEST_F(ErrorReportTest, ZeroWaitNeitherPollsNorSleeps) {
  SetCancelledCallback(&ScriptedCancel);
  g_cancel_at = 1;
  EXPECT_EQ(0, SleepInterruptible(0));
  EXPECT_EQ(0, g_polls);
  EXPECT_EQ(0, fake_->SleepCalls());
}

TEST_F(ErrorReportTest, WaitWithoutCancelledCallbackRunsToTheEnd) {
  EXPECT_EQ(0, SleepInterruptible(3));
  EXPECT_EQ(3000u, fake_->SleptMilliseconds());
}

}  // namespace
}  // namespace kor
