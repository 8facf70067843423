// Message texts: every number the library can send has words of its own;
// arguments appear where they belong and only as text (a per cent sign in a
// device name is printed, never interpreted); missing arguments, unknown
// numbers, long and odd arguments and small buffers all give a terminated
// text that fits.
#include "cli/session/message_texts.h"

#include <gtest/gtest.h>

#include "rules/message_numbers.h"

#include <cstring>
#include <string>
#include <vector>

namespace kor {
namespace cli {
namespace {

struct Args {
  explicit Args(std::vector<std::string> texts) : texts_(std::move(texts)) {
    for (size_t i = 0; i < texts_.size(); ++i)
      slots_[i] = reinterpret_cast<KorMessageArg>(texts_[i].c_str());
  }
  KorMessageArg *get() { return slots_; }

 private:
  std::vector<std::string> texts_;
  KorMessageArg slots_[KOR_MAX_MESSAGE_ARGS] = {};
};

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST(MessageTextsTest, EveryLibraryNumberHasItsOwnWordsAndArguments) {
  std::vector<std::string> seen;
  for (const MessageShape &shape : kMessageCatalog) {
    const int32_t number = shape.number;
    SCOPED_TRACE(number);
    Args args({"/bk/dev-" + std::to_string(number), "reason-text"});
    const std::string text = MessageText(number, args.get());
    EXPECT_TRUE(Contains(text, "(korbr " + std::to_string(number) + ")"))
        << text;
    EXPECT_FALSE(Contains(text, "unknown message")) << text;
    EXPECT_FALSE(Contains(text, "?")) << text;  // no argument went missing
    const int count = shape.arguments;
    EXPECT_EQ(Contains(text, "/bk/dev-"), count >= 1) << text;
    EXPECT_EQ(Contains(text, "reason-text"), count >= 2) << text;
    // Texts differ from number to number.
    std::string words = text.substr(0, text.find(" (korbr"));
    for (const std::string &other : seen) EXPECT_NE(words, other);
    seen.push_back(words);
  }
}

TEST(MessageTextsTest, TheArgumentsGoWhereTheMessageSays) {
  Args mount({"3", "\\\\.\\TAPE0"});
  EXPECT_EQ(MessageText(9234, mount.get()),
            "mount volume 3 on \\\\.\\TAPE0 (korbr 9234)");
  Args open_failed({"/bk/sales.s1.2", "Permission denied\r\n"});
  EXPECT_EQ(MessageText(6920, open_failed.get()),
            "cannot use /bk/sales.s1.2: Permission denied (korbr 6920)");
  // A missing volume file: said so, with what to do.
  Args missing({"/bk/sales.s1.2", std::strerror(ENOENT)});
  EXPECT_EQ(MessageText(6920, missing.get()),
            "cannot use /bk/sales.s1.2: the volume file is missing: every "
            "volume of every stripe is needed; put it back ('korbr labels "
            "FILE' shows which volume a file holds) (korbr 6920)");
  Args capacity({"4096"});
  EXPECT_TRUE(
      Contains(MessageText(9237, capacity.get()), "capacity=4096 (KB)"));
  // A volume locked by another backup: said so, not as the lock's errno.
  Args busy({"/bk/sales.s1.1", std::strerror(EWOULDBLOCK)});
  EXPECT_EQ(MessageText(6920, busy.get()),
            "cannot use /bk/sales.s1.1: it is in use by another backup or "
            "restore (korbr 6920)");
  // A volume directory that is not there: said so, not as free space.
  Args no_directory({"/bk/nodir/sales", std::strerror(ENOENT)});
  EXPECT_EQ(MessageText(6929, no_directory.get()),
            "directory /bk/nodir does not exist (the volume files of "
            "/bk/nodir/sales go there): create it or correct devname= "
            "(korbr 6929)");
}

TEST(MessageTextsTest, FewerArgumentsThanTheFullForm) {
  Args none({});
  Args device({"/bk/sales"});
  // 6920 and 6932 have forms of their own with fewer arguments.
  EXPECT_EQ(MessageText(6920, device.get()),
            "cannot read the header labels of the volume on /bk/sales "
            "(korbr 6920)");
  EXPECT_TRUE(Contains(MessageText(6920, none.get()), "could not be opened"));
  EXPECT_TRUE(Contains(MessageText(6932, device.get()), "write-protected"));
  // Elsewhere a missing argument is shown as "?".
  EXPECT_EQ(MessageText(6934, device.get()),
            "writing to /bk/sales failed: ? (korbr 6934)");
  EXPECT_EQ(MessageText(9234, none.get()), "mount volume ? on ? (korbr 9234)");
  // No argument array at all.
  EXPECT_EQ(MessageText(6935, nullptr),
            "reading from ? failed: ? (korbr 6935)");
}

TEST(MessageTextsTest, ArgumentsAreNeverFormats) {
  Args hostile({"/bk/%s%n%x%%", "line one\nline two"});
  const std::string text = MessageText(6934, hostile.get());
  EXPECT_EQ(text,
            "writing to /bk/%s%n%x%% failed: line one?line two "
            "(korbr 6934)");
}

TEST(MessageTextsTest, UnknownNumbersStillGetAText) {
  Args some({"x", "y"});
  ASSERT_EQ(LibraryMessageArguments(6919), -1);
  EXPECT_EQ(MessageText(6919, some.get()),
            "unknown message: x: y (korbr 6919)");
}

TEST(MessageTextsTest, LongArgumentsAndSmallBuffersAreCut) {
  Args long_args({std::string(5000, 'd'), std::string(5000, 'r')});
  char text[KOR_MESSAGE_TEXT_SIZE];
  std::memset(text, 'Z', sizeof text);
  FormatMessageText(6934, long_args.get(), text, sizeof text);
  ASSERT_NE(std::memchr(text, '\0', sizeof text), nullptr);
  EXPECT_LT(std::strlen(text), sizeof text);
  EXPECT_EQ(std::string(text).find(std::string(513, 'd')), std::string::npos);

  char small[12];
  std::memset(small, 'Z', sizeof small);
  FormatMessageText(9234, long_args.get(), small, sizeof small);
  EXPECT_EQ(std::string(small), "mount volum");
  char one[1] = {'Z'};
  FormatMessageText(9234, long_args.get(), one, sizeof one);
  EXPECT_EQ(one[0], '\0');
}

}  // namespace
}  // namespace cli
}  // namespace kor
