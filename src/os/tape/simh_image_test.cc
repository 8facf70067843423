// Tests of the SIMH record framing, without files.
//
// Strategy: images are built byte by byte from the format's own rules (not
// with the encoder) and compared with what the encoder gives; the decoder
// is given those images, and damaged ones, and must find exactly the
// objects, offsets and failures that the bytes hold.
#include "os/tape/simh_image.h"

#include <gtest/gtest.h>

#include <vector>

namespace kor {
namespace simh {
namespace {

std::vector<uint8_t> Le(uint32_t word) {
  return {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
          static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
}

void Put(std::vector<uint8_t> *image, const std::vector<uint8_t> &bytes) {
  image->insert(image->end(), bytes.begin(), bytes.end());
}

TEST(SimhImageTest, RecordsAreLengthDataPadLengthInLittleEndian) {
  const std::vector<uint8_t> odd = {'a', 'b', 'c'};
  const std::vector<uint8_t> even = {1, 2, 3, 4};
  std::vector<uint8_t> image;
  ASSERT_TRUE(AppendRecord(&image, odd.data(), 3));
  ASSERT_TRUE(AppendRecord(&image, even.data(), 4));
  AppendTapeMark(&image);
  AppendEndOfMedium(&image);

  std::vector<uint8_t> expect;
  Put(&expect, Le(3));
  Put(&expect, odd);
  expect.push_back(0);  // pad to even
  Put(&expect, Le(3));
  Put(&expect, Le(4));
  Put(&expect, even);
  Put(&expect, Le(4));
  Put(&expect, {0, 0, 0, 0});
  Put(&expect, {0xff, 0xff, 0xff, 0xff});
  EXPECT_EQ(expect, image);
  EXPECT_EQ(12u, RecordFootprint(3));
  EXPECT_EQ(12u, RecordFootprint(4));
}

TEST(SimhImageTest, LengthsOutsideTwentyFourBitsAreRefused) {
  std::vector<uint8_t> image;
  EXPECT_FALSE(AppendRecord(&image, nullptr, 0));
  RecordFrame frame;
  EXPECT_FALSE(FrameRecord(kMaxRecordLength + 1, &frame));
  ASSERT_TRUE(FrameRecord(kMaxRecordLength, &frame));
  // The largest record: odd, so padded, and its length word keeps the
  // upper byte 0.
  EXPECT_EQ(5u, frame.suffix_size);
  EXPECT_EQ(std::vector<uint8_t>({0xff, 0xff, 0xff, 0x00}),
            std::vector<uint8_t>(frame.prefix, frame.prefix + 4));
  EXPECT_TRUE(image.empty());
}

TEST(SimhImageTest, HeaderWordsAreClassified) {
  EXPECT_EQ(WordKind::kTapeMark, ClassifyWord(0));
  EXPECT_EQ(WordKind::kEndOfMedium, ClassifyWord(0xFFFFFFFFu));
  EXPECT_EQ(WordKind::kRecord, ClassifyWord(1));
  EXPECT_EQ(WordKind::kRecord, ClassifyWord(0x00FFFFFFu));
  // SIMH's error-flagged records and gap markers are not ours.
  EXPECT_EQ(WordKind::kInvalid, ClassifyWord(0x80000010u));
  EXPECT_EQ(WordKind::kInvalid, ClassifyWord(0xFFFFFFFEu));
  EXPECT_EQ(WordKind::kInvalid, ClassifyWord(0x01000000u));
}

TEST(SimhImageTest, DecodingFindsEveryObjectAtItsOffset) {
  std::vector<uint8_t> image;
  const std::vector<uint8_t> five(5, 0x55), eighty(80, 'V');
  AppendRecord(&image, eighty.data(), 80);
  AppendRecord(&image, five.data(), 5);
  AppendTapeMark(&image);
  AppendTapeMark(&image);
  AppendRecord(&image, five.data(), 5);

  std::vector<Object> objects;
  ASSERT_EQ(DecodeStatus::kOk,
            DecodeImage(image.data(), image.size(), &objects));
  ASSERT_EQ(5u, objects.size());
  EXPECT_EQ(Object::kRecord, objects[0].kind);
  EXPECT_EQ(80u, objects[0].length);
  EXPECT_EQ(0u, objects[0].offset);
  EXPECT_EQ(4u, objects[0].data_offset);
  EXPECT_EQ(88u, objects[1].offset);
  EXPECT_EQ(5u, objects[1].length);
  EXPECT_EQ(Object::kTapeMark, objects[2].kind);
  EXPECT_EQ(102u, objects[2].offset);  // 88 + 4 + 5 + 1 pad + 4
  EXPECT_EQ(Object::kTapeMark, objects[3].kind);
  EXPECT_EQ(106u, objects[3].offset);
  EXPECT_EQ(110u, objects[4].offset);
  EXPECT_EQ(image.size(), objects[4].offset + ObjectSize(objects[4]));
}

TEST(SimhImageTest, AnEmptyImageAndTheEndOfMediumEndTheData) {
  std::vector<Object> objects;
  EXPECT_EQ(DecodeStatus::kOk, DecodeImage(nullptr, 0, &objects));
  EXPECT_TRUE(objects.empty());

  std::vector<uint8_t> image;
  AppendTapeMark(&image);
  AppendEndOfMedium(&image);
  Put(&image, {1, 2, 3});  // beyond the end of the medium: never read
  ASSERT_EQ(DecodeStatus::kOk,
            DecodeImage(image.data(), image.size(), &objects));
  ASSERT_EQ(2u, objects.size());
  EXPECT_EQ(Object::kEndOfMedium, objects[1].kind);
}

TEST(SimhImageTest, DamageAndTruncationAreReportedAfterTheGoodObjects) {
  std::vector<uint8_t> good;
  const std::vector<uint8_t> data(6, 7);
  AppendRecord(&good, data.data(), 6);
  std::vector<Object> objects;

  // Cut inside the second record, and inside a length word.
  std::vector<uint8_t> image = good;
  AppendRecord(&image, data.data(), 6);
  image.resize(image.size() - 1);
  EXPECT_EQ(DecodeStatus::kTruncated,
            DecodeImage(image.data(), image.size(), &objects));
  EXPECT_EQ(1u, objects.size());
  image = good;
  Put(&image, {6, 0});
  EXPECT_EQ(DecodeStatus::kTruncated,
            DecodeImage(image.data(), image.size(), &objects));
  EXPECT_EQ(1u, objects.size());

  // A trailing length that disagrees with the leading one.
  image = good;
  image[image.size() - 4] = 7;
  EXPECT_EQ(DecodeStatus::kDamaged,
            DecodeImage(image.data(), image.size(), &objects));
  EXPECT_TRUE(objects.empty());

  // A header word with the upper byte set.
  image = good;
  Put(&image, Le(0x80000006u));
  EXPECT_EQ(DecodeStatus::kDamaged,
            DecodeImage(image.data(), image.size(), &objects));
  EXPECT_EQ(1u, objects.size());
}

}  // namespace
}  // namespace simh
}  // namespace kor
