// Tests of the archive device string parser.
//
// Strategy: each test parses strings into a freshly initialised handle with
// the fake OS layer installed, so the current directory, the path style and
// the trace output are scripted and captured.  Operator messages are caught
// by a plain C info callback that copies what it receives into statics.
// The cases cover the grammar (what ends keys and values, what is dropped),
// the code tables, integer reading, the capacity rule with its message and
// trace lines, path normalisation in both spellings, and every bound that
// rejects a string instead of overrunning a field.
#include "devstring/archdev_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/process_state.h"
#include "core/stripe_handle.h"
#include "diag/host_callbacks.h"
#include "diag/trace_log.h"
#include "os/fake_os.h"

namespace kor {
namespace {

struct SeenInfo {
  int32_t number;
  std::string first_text;      // args[0] read as a text
  KorMessageArg second_slot;   // args[1], which must be unset
};
std::vector<SeenInfo> g_infos;

void KOR_CALL RecordInfo(int32_t number, KorMessageArg *args, int32_t /*two*/,
                         void * /*record*/) {
  g_infos.push_back(
      {number, reinterpret_cast<const char *>(args[0]), args[1]});
}

class ArchdevParserTest : public ::testing::Test {
 protected:
  explicit ArchdevParserTest(PathStyle style = PathStyle::kWindows)
      : fake_(style) {}

  void SetUp() override {
    fake_->UnsetEnv("KORDBG");
    fake_->UnsetEnv("KORIOPROF");
    fake_->SetCurrentDirectory("c:\\work");
    ResetTraceMemoryForTesting();
    g_infos.clear();
    SetInfoCallback(&RecordInfo);
    InitHandle(&h_);
    h_.stripe = 3;
  }
  void TearDown() override { SetInfoCallback(nullptr); }

  int32_t Parse(const std::string &text) {
    return ParseArchdev(&h_, text.c_str());
  }

  ScopedFakeOs fake_;
  StripeHandle h_;
};

const char kBase[] = "devname=d:\\bk\\s1;dbtype=ZDBn";

TEST_F(ArchdevParserTest, AcceptsMinimalStringIgnoringCaseOfKeysAndCodes) {
  ASSERT_EQ(0, Parse("DevName=d:\\bk\\s1;DBTYPE=zdbn"));
  EXPECT_STREQ("d:\\bk\\s1", h_.devname);
  EXPECT_STREQ("zdbn", h_.dbtype);  // stored as given
  // Everything else keeps its default.
  EXPECT_STREQ("Unknown", h_.creator);
  EXPECT_STREQ("Full", h_.type);
  EXPECT_STREQ("Arch", h_.method);
  EXPECT_STREQ("", h_.location);
  EXPECT_EQ(65536, h_.blocksize);
  EXPECT_EQ(8u, h_.reqfreekb);
  EXPECT_EQ(1, h_.attended);
  EXPECT_EQ(0, h_.stacker);
  EXPECT_EQ(0, h_.nvols);
  EXPECT_EQ(0, h_.backup_id);
  EXPECT_EQ(0, h_.total_tapes);
  EXPECT_EQ(kDefaultCapacity, h_.capacity);
}

TEST_F(ArchdevParserTest, RequiresDbtypeAndDevname) {
  EXPECT_EQ(-1, Parse(""));
  EXPECT_EQ(-1, Parse("devname=d:\\bk\\s1"));
  EXPECT_EQ(-1, Parse("dbtype=ZDBn"));
  EXPECT_EQ(-1, ParseArchdev(&h_, nullptr));
}

TEST_F(ArchdevParserTest, KeysAreTakenLiterallyUpToTheEqualsSign) {
  // A leading blank is part of the key.
  EXPECT_EQ(-1, Parse("devname=d:\\bk\\s1; dbtype=ZDBn"));
  // The second ';' begins the key ";dbtype".
  EXPECT_EQ(-1, Parse("devname=d:\\bk\\s1;;dbtype=ZDBn"));
  // An unknown key rejects the string, after earlier pairs took effect.
  EXPECT_EQ(-1, Parse("stacker=4;colour=red;devname=d:\\x;dbtype=ZDBn"));
  EXPECT_EQ(4, h_.stacker);
}

TEST_F(ArchdevParserTest, ValuesRunToTheNextSemicolon) {
  ASSERT_EQ(0, Parse(std::string(kBase) + ";location=a=b;creator=x y "));
  EXPECT_STREQ("a=b", h_.location);
  EXPECT_STREQ("x y ", h_.creator);
}

TEST_F(ArchdevParserTest, TrailingPairsWithoutValueAreDropped) {
  ASSERT_EQ(0, Parse(std::string(kBase) + ";creator="));
  EXPECT_STREQ("Unknown", h_.creator);

  InitHandle(&h_);
  ASSERT_EQ(0, Parse(std::string(kBase) + ";creator=;"));
  EXPECT_STREQ("", h_.creator);

  InitHandle(&h_);
  EXPECT_EQ(0, Parse(std::string(kBase) + ";junk"));

  // A key that is dropped still counts: without it the string lacks dbtype.
  InitHandle(&h_);
  EXPECT_EQ(-1, Parse("devname=d:\\bk\\s1;dbtype="));
}

TEST_F(ArchdevParserTest, LaterPairsReplaceEarlierOnes) {
  ASSERT_EQ(0, Parse("devname=d:\\a;dbtype=ZDBn;devname=d:\\b;type=Incr;"
                     "type=DBFO"));
  EXPECT_STREQ("d:\\b", h_.devname);
  EXPECT_STREQ("DBFO", h_.type);
}

TEST_F(ArchdevParserTest, CodeTablesAcceptEveryCodeInAnyCase) {
  const char *const dbtypes[] = {"ZDBn", "zdbx", "UNKN"};
  const char *const types[] = {"Full", "incr", "INSF", "dBfO"};
  const char *const methods[] = {"imag", "ARCH", "Othr"};
  for (const char *dbtype : dbtypes) {
    InitHandle(&h_);
    EXPECT_EQ(0, Parse(std::string("devname=d:\\x;dbtype=") + dbtype))
        << dbtype;
    EXPECT_STREQ(dbtype, h_.dbtype);
  }
  for (const char *type : types) {
    InitHandle(&h_);
    EXPECT_EQ(0, Parse(std::string(kBase) + ";type=" + type)) << type;
    EXPECT_STREQ(type, h_.type);
  }
  for (const char *method : methods) {
    InitHandle(&h_);
    EXPECT_EQ(0, Parse(std::string(kBase) + ";method=" + method)) << method;
    EXPECT_STREQ(method, h_.method);
  }
}

TEST_F(ArchdevParserTest, InvalidCodesAreRejectedBeforeTheyReachTheField) {
  EXPECT_EQ(-1, Parse("devname=d:\\x;dbtype=ZDB"));
  EXPECT_STREQ("", h_.dbtype);
  EXPECT_EQ(-1, Parse(std::string(kBase) + ";type=Fulll"));
  EXPECT_STREQ("Full", h_.type);
  EXPECT_EQ(-1, Parse(std::string(kBase) + ";method=Imag;method=Other"));
  EXPECT_STREQ("Imag", h_.method);
  EXPECT_EQ(-1, Parse(std::string(kBase) + ";type=;"));
  EXPECT_STREQ("Full", h_.type);
}

TEST(MatchCodeTest, ComparesWholeTextsIgnoringCase) {
  const char *const codes[] = {"Full", "Incr", "InSF", "DBFO"};
  EXPECT_EQ(1, MatchCode("insf", codes, 4));
  EXPECT_EQ(1, MatchCode("dbfo", codes, 4));  // the last one is searched
  EXPECT_EQ(0, MatchCode("dbfo", codes, 3));  // ... only within the count
  EXPECT_EQ(0, MatchCode("Ful", codes, 4));
  EXPECT_EQ(0, MatchCode("Fulls", codes, 4));
  EXPECT_EQ(0, MatchCode("", codes, 4));
  EXPECT_EQ(0, MatchCode("F\xf5ll", codes, 4));
}

TEST_F(ArchdevParserTest, IntegersAreReadLikeAtoi) {
  ASSERT_EQ(0, Parse(std::string(kBase) +
                     ";stacker=3;reqfreekb=64k;attended=0;backup_id= -12;"
                     "prev_backup_id=+7;total_tapes=;blocksize=8192bytes"));
  EXPECT_EQ(3, h_.stacker);
  EXPECT_EQ(3, h_.nvols);
  EXPECT_EQ(64u, h_.reqfreekb);
  EXPECT_EQ(0, h_.attended);
  EXPECT_EQ(-12, h_.backup_id);
  EXPECT_EQ(7, h_.prev_backup_id);
  EXPECT_EQ(0, h_.total_tapes);
  EXPECT_EQ(8192, h_.blocksize);

  // reqfreekb is used unsigned: -1 asks for the most space there can be.
  InitHandle(&h_);
  ASSERT_EQ(0, Parse(std::string(kBase) + ";reqfreekb=-1"));
  EXPECT_EQ(0xFFFFFFFFu, h_.reqfreekb);
}

// A tape block must hold the end-of-volume record and fit a tape image's
// record; a disk stripe never uses the block size and takes any value.
TEST_F(ArchdevParserTest, BlocksizeLimitsHoldForTapeStripesOnly) {
  struct Case {
    const char *pairs;
    bool accepted_on_tape;
  };
  const Case cases[] = {
      {";blocksize=161", true},
      {";blocksize=160", false},
      {";blocksize=64k", false},  // reads as 64
      {";blocksize=;", false},    // reads as 0
      {";blocksize=-65536", false},
      {";blocksize=16777215", true},
      {";blocksize=16777216", false},
      {";blocksize=20000000", false},
      {";blocksize=262144", true},
      // The value that counts is the last one given.
      {";blocksize=100;blocksize=8192", true},
      {";blocksize=8192;blocksize=100", false},
  };
  const char kTapeBase[] = "devname=\\\\.\\Tape0;dbtype=ZDBn";
  for (const Case &c : cases) {
    InitHandle(&h_);
    EXPECT_EQ(c.accepted_on_tape ? 0 : -1,
              Parse(std::string(kTapeBase) + c.pairs))
        << "tape" << c.pairs;
    InitHandle(&h_);
    EXPECT_EQ(0, Parse(std::string(kBase) + c.pairs)) << "disk" << c.pairs;
  }
  // Also when the blocksize comes before the pairs that complete the string.
  InitHandle(&h_);
  EXPECT_EQ(-1, Parse(std::string("blocksize=100;") + kTapeBase));
  InitHandle(&h_);
  EXPECT_EQ(0, Parse(std::string("blocksize=100;") + kBase));
  EXPECT_EQ(100, h_.blocksize);
}

TEST_F(ArchdevParserTest, CapacityRuleValuesAndOperatorMessage) {
  struct Case {
    const char *value;
    uint64_t bytes;
    const char *message;  // text of the 9237 argument, or null for none
  };
  const Case cases[] = {
      {"100", 262144u, "100"},
      {"0", 262144u, "0"},
      {"256", 262144u, "256"},
      {"319", 262144u, "319"},
      {"320", 327680u, "320"},
      {"1048575", 1073676288u, "1048575"},
      {"1048576", 1073741824u, nullptr},
      {"2000000", 2048000000u, nullptr},
      {"2147483647", 2199023190016u, nullptr},
      {"-5", 262144u, nullptr},
      {"4294967295", 262144u, nullptr},  // wraps to -1
      {"64MB", 262144u, "64"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    InitHandle(&h_);
    h_.stripe = 3;
    g_infos.clear();
    fake_->ClearTrace();
    ResetTraceMemoryForTesting();
    ASSERT_EQ(0, Parse(std::string(kBase) + ";capacity=" + c.value));
    EXPECT_EQ(c.bytes, h_.capacity);
    if (c.message == nullptr) {
      EXPECT_TRUE(g_infos.empty());
    } else {
      ASSERT_EQ(1u, g_infos.size());
      EXPECT_EQ(9237, g_infos[0].number);
      EXPECT_EQ(c.message, g_infos[0].first_text);
      EXPECT_EQ(0, g_infos[0].second_slot);
    }
    EXPECT_EQ(std::vector<std::string>{"Stripe 3 capacity initialized to " +
                                       std::to_string(c.bytes) + "\n"},
              fake_->TraceLines());
  }
}

TEST_F(ArchdevParserTest, EveryCapacityPairIsComputedAndTraced) {
  ASSERT_EQ(0, Parse(std::string(kBase) + ";capacity=100;capacity=2000000"));
  EXPECT_EQ(2048000000u, h_.capacity);
  EXPECT_EQ((std::vector<std::string>{
                "Stripe 3 capacity initialized to 262144\n",
                "Stripe 3 capacity initialized to 2048000000\n"}),
            fake_->TraceLines());
  ASSERT_EQ(1u, g_infos.size());
  EXPECT_EQ("100", g_infos[0].first_text);
}

TEST_F(ArchdevParserTest, MissingCapacityDefaultsAndIsTracedUnderBit0x40) {
  ASSERT_EQ(0, Parse(kBase));
  EXPECT_EQ(1610612736u, h_.capacity);
  EXPECT_EQ(std::vector<std::string>{
                "Stripe 3 capacity defaulting to 1610612736\n"},
            fake_->TraceLines());
  EXPECT_TRUE(g_infos.empty());

  // Without the volume family the same parse prints nothing.
  InitHandle(&h_);
  h_.stripe = 3;
  h_.trace_mask = kDefaultTraceMask & ~kTraceVolume;
  fake_->ClearTrace();
  ResetTraceMemoryForTesting();
  ASSERT_EQ(0, Parse(std::string(kBase) + ";capacity=5000"));
  ASSERT_EQ(0, Parse(kBase));
  EXPECT_TRUE(fake_->TraceLines().empty());
  // The operator message does not depend on the mask.
  EXPECT_EQ(1u, g_infos.size());
}

TEST_F(ArchdevParserTest, WindowsNamesAreNormalisedAgainstTheCurrentDirectory) {
  struct Case {
    const char *cwd;
    const char *devname;
    const char *expected;
  };
  const Case cases[] = {
      {"c:\\work", "tape0", "c:\\work\\tape0"},
      {"c:\\", "tape0", "c:\\\\tape0"},
      {"c:\\work", "//./tape0", "c:\\work\\//./tape0"},
      {"c:\\work", "\\\\\\\\.\\\\Tape0", "\\\\.\\Tape0"},
      {"c:\\work", "\\\\.\\Tape0", "\\\\.\\Tape0"},
      {"c:\\work", "\\\\server\\share\\s1", "\\\\server\\share\\s1"},
      {"c:\\work", "d:s1", "d:s1"},
      {"c:\\work", "/backups/s1", "c:\\work\\/backups/s1"},
  };
  for (const Case &c : cases) {
    InitHandle(&h_);
    fake_->SetCurrentDirectory(c.cwd);
    ASSERT_EQ(0, Parse(std::string("dbtype=ZDBn;devname=") + c.devname))
        << c.devname;
    EXPECT_STREQ(c.expected, h_.devname);
  }
}

TEST_F(ArchdevParserTest, FailingCurrentDirectoryRejectsOnlyRelativeNames) {
  fake_->SetCurrentDirectory("");
  EXPECT_EQ(-1, Parse("dbtype=ZDBn;devname=tape0"));
  InitHandle(&h_);
  const int asked = fake_->Count(OsCall::kGetCurrentDirectory);
  EXPECT_EQ(0, Parse("dbtype=ZDBn;devname=d:\\bk\\s1"));
  EXPECT_EQ(0, Parse("dbtype=ZDBn;devname=\\\\.\\Tape0"));
  EXPECT_EQ(asked, fake_->Count(OsCall::kGetCurrentDirectory));
}

class PosixArchdevParserTest : public ArchdevParserTest {
 protected:
  PosixArchdevParserTest() : ArchdevParserTest(PathStyle::kPosix) {}
};

TEST_F(PosixArchdevParserTest, PosixNamesAreNormalisedAgainstTheCurrentDirectory) {
  fake_->SetCurrentDirectory("/home/kor");
  ASSERT_EQ(0, Parse("dbtype=ZDBn;devname=dumps/s1"));
  EXPECT_STREQ("/home/kor/dumps/s1", h_.devname);

  ASSERT_EQ(0, Parse("dbtype=ZDBn;devname=/var/backups/s1"));
  EXPECT_STREQ("/var/backups/s1", h_.devname);

  ASSERT_EQ(0, Parse("dbtype=ZDBn;devname=\\\\\\\\.\\\\nst0"));
  EXPECT_STREQ("\\\\.\\nst0", h_.devname);

  fake_->SetCurrentDirectory("");
  EXPECT_EQ(-1, Parse("dbtype=ZDBn;devname=s1"));
}

TEST_F(ArchdevParserTest, OverlongKeysAndValuesAreRejected) {
  // A dropped trailing key may have 15 characters but not 16.
  EXPECT_EQ(0, Parse(std::string(kBase) + ";" + std::string(15, 'k')));
  InitHandle(&h_);
  EXPECT_EQ(-1, Parse(std::string(kBase) + ";" + std::string(16, 'k')));
  InitHandle(&h_);
  EXPECT_EQ(-1, Parse(std::string(kBase) + ";" + std::string(200, 'k') +
                      "=1"));

  // location holds 255 characters; a value never has more.
  InitHandle(&h_);
  EXPECT_EQ(0, Parse(std::string(kBase) + ";location=" +
                     std::string(255, 'l')));
  EXPECT_EQ(std::string(255, 'l'), h_.location);
  InitHandle(&h_);
  EXPECT_EQ(-1, Parse(std::string(kBase) + ";location=" +
                      std::string(256, 'l')));
  EXPECT_STREQ("", h_.location);
  InitHandle(&h_);
  EXPECT_EQ(-1, Parse(std::string(kBase) + ";location=" +
                      std::string(5000, 'l') + ";"));

  // creator holds 31.
  InitHandle(&h_);
  EXPECT_EQ(0, Parse(std::string(kBase) + ";creator=" + std::string(31, 'c')));
  EXPECT_EQ(std::string(31, 'c'), h_.creator);
  InitHandle(&h_);
  EXPECT_EQ(-1, Parse(std::string(kBase) + ";creator=" +
                      std::string(32, 'c')));
  EXPECT_STREQ("Unknown", h_.creator);
}

TEST_F(ArchdevParserTest, DevnameMustFit255CharactersAfterNormalisation) {
  const std::string absolute = "d:\\" + std::string(252, 'n');  // 255 chars
  ASSERT_EQ(0, Parse("dbtype=ZDBn;devname=" + absolute));
  EXPECT_EQ(absolute, h_.devname);

  InitHandle(&h_);
  EXPECT_EQ(-1, Parse("dbtype=ZDBn;devname=" + absolute + "n"));

  // "c:\work" + "\" + 247 characters = 255.
  InitHandle(&h_);
  EXPECT_EQ(0, Parse("dbtype=ZDBn;devname=" + std::string(247, 'r')));
  EXPECT_EQ(255u, std::strlen(h_.devname));
  InitHandle(&h_);
  EXPECT_EQ(-1, Parse("dbtype=ZDBn;devname=" + std::string(248, 'r')));
}

TEST(NormalizeDevicePathTest, LeavesThePathAloneWhenItFails) {
  ScopedFakeOs fake;
  fake->SetCurrentDirectory("c:\\a-rather-long-directory");
  char path[16] = "tape0";
  EXPECT_EQ(0, NormalizeDevicePath(path, sizeof path));  // does not fit 16
  EXPECT_STREQ("tape0", path);
  fake->SetCurrentDirectory("c:\\d");
  EXPECT_EQ(1, NormalizeDevicePath(path, sizeof path));
  EXPECT_STREQ("c:\\d\\tape0", path);
  fake->SetCurrentDirectory("");
  char relative[256] = "s1";
  EXPECT_EQ(0, NormalizeDevicePath(relative, sizeof relative));
  EXPECT_STREQ("s1", relative);
}

}  // namespace
}  // namespace kor
