// Label records are checked byte for byte against images assembled here
// field by field from the column layout of each label (every field listed,
// blanks included, and the fields must tile the label exactly), so a field
// at a wrong offset or of a wrong width shows up as a byte difference.
// Builders write into areas pre-filled with a sentinel to catch writes
// beyond a label's length.  The serial parser and the end-of-volume
// predicates are pure functions tested on hand-made byte strings.
#include "label/label_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kor {
namespace {

struct Field {
  int offset;
  std::string text;
};

std::string Blanks(int n) { return std::string(static_cast<size_t>(n), ' '); }

// Joins the fields of one label; fails the test when they do not follow one
// another without gap or overlap up to `length`.
std::string Image(int length, const std::vector<Field> &fields) {
  std::string out;
  for (const Field &f : fields) {
    EXPECT_EQ(static_cast<int>(out.size()), f.offset) << "field " << f.text;
    out += f.text;
  }
  EXPECT_EQ(static_cast<int>(out.size()), length);
  return out;
}

std::string Vol1Image(const std::string &serial) {
  return Image(80, {{0, "VOL1"},
                    {4, serial},
                    {10, Blanks(1)},
                    {11, Blanks(26)},
                    {37, Blanks(14)},
                    {51, Blanks(28)},
                    {79, "4"}});
}

std::vector<Field> FirstLabelCommon(const std::string &id) {
  return {{0, id},          {4, Blanks(17)},  {21, Blanks(6)},  {27, "0000"},
          {31, "0000"},     {35, "0000"},     {39, "00"},       {41, "000000"},
          {47, "000000"},   {53, "0"},        {54, "000000"}};
}

std::string Hdr1Image() {
  std::vector<Field> f = FirstLabelCommon("HDR1");
  f.push_back({60, Blanks(1)});
  f.push_back({61, Blanks(7)});
  return Image(68, f);
}

std::string TrailerFirstImage(const std::string &id) {
  std::vector<Field> f = FirstLabelCommon(id);
  f.push_back({60, Blanks(13)});
  f.push_back({73, Blanks(7)});
  return Image(80, f);
}

std::string SecondLabelImage(const std::string &id) {
  return Image(80, {{0, id},
                    {4, "F"},
                    {5, "00000"},
                    {10, "00000"},
                    {15, Blanks(35)},
                    {50, "00"},
                    {52, Blanks(28)}});
}

constexpr char kSentinel = '\x7f';
constexpr size_t kAreaSize = 200;

// Runs `build` on a sentinel-filled area; returns the `length` bytes it
// should have written and checks that nothing behind them changed and that
// the builder returned the area.
template <typename Build>
std::string Built(int length, Build build) {
  std::vector<char> area(kAreaSize, kSentinel);
  char *result = build(area.data());
  EXPECT_EQ(result, area.data());
  for (size_t i = static_cast<size_t>(length); i < kAreaSize; ++i) {
    if (area[i] != kSentinel) {
      ADD_FAILURE() << "byte " << i << " written beyond the label";
      break;
    }
  }
  return std::string(area.data(), static_cast<size_t>(length));
}

TEST(LabelFormatTest, HeaderLabelsMatchTheirLayoutByteForByte) {
  EXPECT_EQ(Built(80, [](char *a) { return BuildVol1Label(a, 0, 1); }),
            Vol1Image("000001"));
  // HDR1 is 68 bytes, not 80: the 12 bytes after it must stay untouched.
  EXPECT_EQ(Built(68, BuildHdr1Label), Hdr1Image());
  EXPECT_EQ(Built(80, BuildHdr2Label), SecondLabelImage("HDR2"));
}

TEST(LabelFormatTest, TrailerLabelsMatchTheirLayoutByteForByte) {
  EXPECT_EQ(Built(80, BuildEov1Label), TrailerFirstImage("EOV1"));
  EXPECT_EQ(Built(80, BuildEov2Label), SecondLabelImage("EOV2"));
  EXPECT_EQ(Built(80, BuildEof1Label), TrailerFirstImage("EOF1"));
  EXPECT_EQ(Built(80, BuildEof2Label), SecondLabelImage("EOF2"));
}

TEST(LabelFormatTest, TrailerRecordsAreFirstThenSecondLabel) {
  EXPECT_EQ(Built(kTrailerSize, BuildEovRecord),
            TrailerFirstImage("EOV1") + SecondLabelImage("EOV2"));
  EXPECT_EQ(Built(kTrailerSize, BuildEofRecord),
            TrailerFirstImage("EOF1") + SecondLabelImage("EOF2"));
}

TEST(LabelFormatTest, LabelsArePrintableAsciiOnly) {
  std::vector<std::string> labels = {
      Built(80, [](char *a) { return BuildVol1Label(a, 31, 9999); }),
      Built(68, BuildHdr1Label), Built(80, BuildHdr2Label),
      Built(kTrailerSize, BuildEovRecord), Built(kTrailerSize, BuildEofRecord)};
  for (const std::string &label : labels) {
    for (char c : label) {
      EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << "byte " << static_cast<int>(c);
    }
  }
}

std::string SerialOf(int32_t stripe, int32_t volume) {
  char area[kLabelSize];
  BuildVol1Label(area, stripe, volume);
  return std::string(area + 4, 6);
}

TEST(LabelFormatTest, SerialIsStripeInTwoDigitsThenVolumeInFour) {
  struct Case {
    int32_t stripe, volume;
    const char *serial;
  };
  const Case cases[] = {
      {0, 1, "000001"},   {2, 3, "020003"},   {3, 12, "030012"},
      {17, 250, "170250"}, {31, 9999, "319999"}, {99, 0, "990000"},
      // Too wide for six positions: the text is cut after six characters.
      {0, 10000, "001000"}, {5, 123456, "051234"}, {100, 1, "100000"},
      {123, 45, "123004"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(SerialOf(c.stripe, c.volume), c.serial)
        << "stripe " << c.stripe << " volume " << c.volume;
  }
}

TEST(LabelFormatTest, SerialOfExtremeIntegersStaysInsideTheField) {
  // The whole formatted text must fit the work buffer; only six characters
  // reach the label and the rest of VOL1 keeps its layout.
  std::string label = Built(
      80, [](char *a) { return BuildVol1Label(a, INT32_MIN, INT32_MIN); });
  EXPECT_EQ(label.substr(4, 6), "-21474");
  EXPECT_EQ(label.substr(10), Vol1Image("XXXXXX").substr(10));
  label = Built(
      80, [](char *a) { return BuildVol1Label(a, INT32_MAX, INT32_MAX); });
  EXPECT_EQ(label.substr(4, 6), "214748");
}

void Parse(const std::string &vol1, int32_t *stripe, int32_t *volume) {
  ASSERT_EQ(vol1.size(), 80u);
  *stripe = -12345;
  *volume = -12345;
  ParseVolumeSerial(vol1.data(), stripe, volume);
}

TEST(LabelFormatTest, SerialParsesBackForStripesTo99AndVolumesTo9999) {
  const int32_t pairs[][2] = {{0, 1}, {2, 3}, {17, 250}, {31, 9999}, {99, 0}};
  for (const auto &p : pairs) {
    char area[kLabelSize];
    BuildVol1Label(area, p[0], p[1]);
    int32_t stripe, volume;
    Parse(std::string(area, kLabelSize), &stripe, &volume);
    EXPECT_EQ(stripe, p[0]);
    EXPECT_EQ(volume, p[1]);
  }
  // Volume 10000 is cut to "001000" and reads back as stripe 0, volume 1000.
  char area[kLabelSize];
  BuildVol1Label(area, 0, 10000);
  int32_t stripe, volume;
  Parse(std::string(area, kLabelSize), &stripe, &volume);
  EXPECT_EQ(stripe, 0);
  EXPECT_EQ(volume, 1000);
}

TEST(LabelFormatTest, ParserConvertsEachFieldLikeDecimalTextToInteger) {
  struct Case {
    const char *serial;
    int32_t stripe, volume;
  };
  const Case cases[] = {
      {"      ", 0, 0},     // blanks parse as 0
      {" 3  12", 3, 12},    // leading white space skipped in each field
      {"\t4\v\f07", 4, 7}, // any white space, not just blanks
      {"1 2 34", 1, 2},     // digits end at the first non-digit
      {"-1-999", -1, -999}, // one sign per field
      {"+5+042", 5, 42},
      {"--0+-1", 0, 0},     // a second sign is not a digit
      {"AB12CD", 0, 12},    // no digits give 0
      {"0712X4", 7, 12},
      {"123456", 12, 3456}, // the two fields are separate strings
  };
  for (const Case &c : cases) {
    std::string vol1 = Vol1Image(c.serial);
    int32_t stripe, volume;
    Parse(vol1, &stripe, &volume);
    EXPECT_EQ(stripe, c.stripe) << '"' << c.serial << '"';
    EXPECT_EQ(volume, c.volume) << '"' << c.serial << '"';
  }
}

TEST(LabelFormatTest, ParserLooksAtNothingButTheSerial) {
  // A field directly behind the serial (offset 10) must not run into the
  // volume number, and nothing else of the record counts.
  std::string vol1(80, '9');
  std::memcpy(&vol1[0], "HDR2", 4);
  std::memcpy(&vol1[4], "050007", 6);
  int32_t stripe, volume;
  Parse(vol1, &stripe, &volume);
  EXPECT_EQ(stripe, 5);
  EXPECT_EQ(volume, 7);

  std::string zeros(80, '\0');
  std::memcpy(&zeros[4], "310042", 6);
  Parse(zeros, &stripe, &volume);
  EXPECT_EQ(stripe, 31);
  EXPECT_EQ(volume, 42);
}

std::string EovRecord() {
  char area[kTrailerSize];
  BuildEovRecord(area);
  return std::string(area, kTrailerSize);
}

TEST(LabelFormatTest, EndOfVolumeRecordNeedsBothIdentifiersIn84Bytes) {
  std::string eov = EovRecord();
  EXPECT_TRUE(IsEovRecord(eov.data(), 160));
  EXPECT_TRUE(IsEovRecord(eov.data(), 84));
  EXPECT_FALSE(IsEovRecord(eov.data(), 83));
  EXPECT_FALSE(IsEovRecord(eov.data(), 0));

  // EOV1 without EOV2 at 80, as in a data block that happens to start so.
  std::string only_first = eov;
  std::memcpy(&only_first[80], "EOF2", 4);
  EXPECT_FALSE(IsEovRecord(only_first.data(), 160));
  std::string shifted = "x" + eov;  // EOV2 at 81 instead of 80
  EXPECT_FALSE(IsEovRecord(shifted.data(), 161));

  // Only the two identifiers count; the rest may be anything.
  std::string bare(100, '\0');
  std::memcpy(&bare[0], "EOV1", 4);
  std::memcpy(&bare[80], "EOV2", 4);
  EXPECT_TRUE(IsEovRecord(bare.data(), 100));

  char area[kTrailerSize];
  BuildEofRecord(area);
  EXPECT_FALSE(IsEovRecord(area, kTrailerSize));
}

TEST(LabelFormatTest, ShortDataCouldBeginATrailerOnlyIfItAgrees) {
  std::string eov = EovRecord();
  for (int n = 1; n < 84; ++n) {
    EXPECT_TRUE(CouldBeginTrailer(eov.data(), n)) << n << " bytes";
  }
  EXPECT_FALSE(CouldBeginTrailer(eov.data(), 0));
  // From 84 bytes on the record can be recognised; nothing more is needed.
  EXPECT_FALSE(CouldBeginTrailer(eov.data(), 84));

  // A disagreement in the first identifier, at each of its positions.
  for (int pos = 0; pos < 4; ++pos) {
    std::string bad = eov;
    bad[static_cast<size_t>(pos)] = '*';
    if (pos > 0) {
      EXPECT_TRUE(CouldBeginTrailer(bad.data(), pos)) << "before " << pos;
    }
    EXPECT_FALSE(CouldBeginTrailer(bad.data(), pos + 1)) << "at " << pos;
    EXPECT_FALSE(CouldBeginTrailer(bad.data(), 83)) << "at " << pos;
  }
  // The end-of-backup record counts as well.
  char eof[kTrailerSize];
  BuildEofRecord(eof);
  EXPECT_TRUE(CouldBeginTrailer(eof, 83));
  EXPECT_FALSE(CouldBeginTrailer(eof, 84));
  // Bytes 4..79 carry no identifier.
  std::string middle = eov;
  std::memset(&middle[4], '#', 76);
  EXPECT_TRUE(CouldBeginTrailer(middle.data(), 80));
  EXPECT_TRUE(CouldBeginTrailer(middle.data(), 83));
  // A disagreement in the second identifier counts once its bytes are there.
  for (int pos = 80; pos < 83; ++pos) {
    std::string bad = eov;
    bad[static_cast<size_t>(pos)] = '*';
    EXPECT_TRUE(CouldBeginTrailer(bad.data(), pos)) << "before " << pos;
    EXPECT_FALSE(CouldBeginTrailer(bad.data(), pos + 1)) << "at " << pos;
  }
  // Data that begins like EOF1 may become the end-of-backup record.
  EXPECT_TRUE(CouldBeginTrailer("EOF1", 4));
  EXPECT_FALSE(CouldBeginTrailer("EOX", 3));
  EXPECT_TRUE(CouldBeginTrailer("EO", 2));
}

}  // namespace
}  // namespace kor
