// Label decoding for 'korbr labels', on label records laid out by hand
// from the documented layout: every field is read from its own offset
// (each field gets a distinct value, so a shifted offset shows), and
// records that are not labels are refused with a reason.
#include "cli/format/label_decode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kor {
namespace cli {
namespace {

// Puts `text` at `offset` of `record`.
void Put(std::string *record, size_t offset, const std::string &text) {
  record->replace(offset, text.size(), text);
}

std::string Head(const std::string &serial) {
  std::string vol1(80, ' '), hdr1(68, ' '), hdr2(80, ' ');
  Put(&vol1, 0, "VOL1");
  Put(&vol1, 4, serial);
  Put(&vol1, 79, "4");
  Put(&hdr1, 0, "HDR1");
  Put(&hdr1, 4, "FILEIDENTIFIER-17");
  Put(&hdr1, 21, "FSETID");
  Put(&hdr1, 27, "0001");
  Put(&hdr1, 31, "0002");
  Put(&hdr1, 35, "0003");
  Put(&hdr1, 39, "04");
  Put(&hdr1, 41, "050505");
  Put(&hdr1, 47, "060606");
  Put(&hdr1, 53, "7");
  Put(&hdr1, 54, "080808");
  Put(&hdr2, 0, "HDR2");
  Put(&hdr2, 4, "F");
  Put(&hdr2, 5, "00009");
  Put(&hdr2, 10, "00010");
  Put(&hdr2, 50, "11");
  return vol1 + hdr1 + hdr2;
}

const uint8_t *Bytes(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

TEST(LabelDecodeTest, EveryFieldFromItsOffset) {
  const std::string head = Head("031207");
  ASSERT_EQ(head.size(), kVolumeHeadSize);
  VolumeLabels l;
  std::string why;
  ASSERT_TRUE(DecodeVolumeHead(Bytes(head), head.size(), &l, &why)) << why;
  EXPECT_EQ(l.serial, "031207");
  EXPECT_EQ(l.stripe, 3);
  EXPECT_EQ(l.volume, 1207);
  EXPECT_EQ(l.label_standard, '4');
  EXPECT_EQ(l.hdr1_file_id, "FILEIDENTIFIER-17");
  EXPECT_EQ(l.hdr1_file_set_id, "FSETID");
  EXPECT_EQ(l.file_section, "0001");
  EXPECT_EQ(l.file_sequence, "0002");
  EXPECT_EQ(l.generation, "0003");
  EXPECT_EQ(l.generation_version, "04");
  EXPECT_EQ(l.creation_date, "050505");
  EXPECT_EQ(l.expiration_date, "060606");
  EXPECT_EQ(l.accessibility, "7");
  EXPECT_EQ(l.block_count, "080808");
  EXPECT_EQ(l.record_format, 'F');
  EXPECT_EQ(l.block_length, "00009");
  EXPECT_EQ(l.record_length, "00010");
  EXPECT_EQ(l.buffer_offset_length, "11");
}

TEST(LabelDecodeTest, HeadsThatAreNotVolumes) {
  VolumeLabels l;
  std::string why;
  std::string head = Head("000001");
  EXPECT_FALSE(DecodeVolumeHead(Bytes(head), 227, &l, &why));

  std::string bad = head;
  Put(&bad, 0, "VOL2");
  EXPECT_FALSE(DecodeVolumeHead(Bytes(bad), bad.size(), &l, &why));
  EXPECT_NE(why.find("VOL1"), std::string::npos) << why;

  bad = head;
  Put(&bad, 80, "HDRX");  // HDR1 is 68 bytes: HDR2 follows at 148
  EXPECT_FALSE(DecodeVolumeHead(Bytes(bad), bad.size(), &l, &why));
  EXPECT_NE(why.find("HDR1"), std::string::npos) << why;

  bad = head;
  Put(&bad, 148, "EOF2");
  EXPECT_FALSE(DecodeVolumeHead(Bytes(bad), bad.size(), &l, &why));
  EXPECT_NE(why.find("HDR2"), std::string::npos) << why;

  bad = Head("00 001");
  EXPECT_FALSE(DecodeVolumeHead(Bytes(bad), bad.size(), &l, &why));
  EXPECT_NE(why.find("serial"), std::string::npos) << why;

  bad = head;
  bad[100] = '\n';
  EXPECT_FALSE(DecodeVolumeHead(Bytes(bad), bad.size(), &l, &why));
  EXPECT_NE(why.find("printable"), std::string::npos) << why;
}

TEST(LabelDecodeTest, TrailerKinds) {
  std::string first(80, ' '), second(80, ' ');
  VolumeLabels l;
  std::string why;
  Put(&first, 0, "EOV1");
  Put(&second, 0, "EOV2");
  std::string tail = first + second;
  ASSERT_TRUE(DecodeVolumeTail(Bytes(tail), tail.size(), &l, &why));
  EXPECT_TRUE(l.end_of_volume);
  Put(&tail, 0, "EOF1");
  Put(&tail, 80, "EOF2");
  ASSERT_TRUE(DecodeVolumeTail(Bytes(tail), tail.size(), &l, &why));
  EXPECT_FALSE(l.end_of_volume);
  // A pair that does not match, or data where the pair should be.
  Put(&tail, 80, "EOV2");
  EXPECT_FALSE(DecodeVolumeTail(Bytes(tail), tail.size(), &l, &why));
  EXPECT_NE(why.find("incomplete"), std::string::npos) << why;
  EXPECT_FALSE(DecodeVolumeTail(Bytes(tail), 100, &l, &why));
}

}  // namespace
}  // namespace cli
}  // namespace kor
