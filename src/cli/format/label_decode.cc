// Volume label decoding.
#include "cli/format/label_decode.h"

#include <cstring>

namespace kor {
namespace cli {
namespace {

std::string Field(const uint8_t *label, size_t offset, size_t width) {
  return std::string(reinterpret_cast<const char *>(label) + offset, width);
}

bool Printable(const uint8_t *bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] < 0x20 || bytes[i] > 0x7e) return false;
  }
  return true;
}

bool AllDigits(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool Fail(std::string *why, const char *text) {
  *why = text;
  return false;
}

}  // namespace

bool DecodeVolumeHead(const uint8_t *head, size_t size, VolumeLabels *labels,
                      std::string *why) {
  if (size < kVolumeHeadSize) {
    return Fail(why, "too short to hold the VOL1, HDR1 and HDR2 labels");
  }
  const uint8_t *vol1 = head;
  const uint8_t *hdr1 = head + 80;
  const uint8_t *hdr2 = head + 148;
  if (std::memcmp(vol1, "VOL1", 4) != 0) {
    return Fail(why, "it does not begin with a VOL1 label");
  }
  if (std::memcmp(hdr1, "HDR1", 4) != 0) {
    return Fail(why, "no HDR1 label at offset 80");
  }
  if (std::memcmp(hdr2, "HDR2", 4) != 0) {
    return Fail(why, "no HDR2 label at offset 148");
  }
  if (!Printable(head, kVolumeHeadSize)) {
    return Fail(why,
                "the header labels hold characters that are not "
                "printable ASCII");
  }
  VolumeLabels l = *labels;
  l.serial = Field(vol1, 4, 6);
  if (!AllDigits(l.serial)) {
    return Fail(why, "the VOL1 serial is not six digits");
  }
  l.stripe = std::stoi(l.serial.substr(0, 2));
  l.volume = std::stoi(l.serial.substr(2, 4));
  l.label_standard = static_cast<char>(vol1[79]);
  l.hdr1_file_id = Field(hdr1, 4, 17);
  l.hdr1_file_set_id = Field(hdr1, 21, 6);
  l.file_section = Field(hdr1, 27, 4);
  l.file_sequence = Field(hdr1, 31, 4);
  l.generation = Field(hdr1, 35, 4);
  l.generation_version = Field(hdr1, 39, 2);
  l.creation_date = Field(hdr1, 41, 6);
  l.expiration_date = Field(hdr1, 47, 6);
  l.accessibility = Field(hdr1, 53, 1);
  l.block_count = Field(hdr1, 54, 6);
  l.record_format = static_cast<char>(hdr2[4]);
  l.block_length = Field(hdr2, 5, 5);
  l.record_length = Field(hdr2, 10, 5);
  l.buffer_offset_length = Field(hdr2, 50, 2);
  *labels = l;
  return true;
}

bool DecodeVolumeTail(const uint8_t *tail, size_t size, VolumeLabels *labels,
                      std::string *why) {
  if (size < kVolumeTailSize) {
    return Fail(why, "too short to hold the trailer labels");
  }
  if (std::memcmp(tail, "EOV1", 4) == 0 &&
      std::memcmp(tail + 80, "EOV2", 4) == 0) {
    labels->end_of_volume = true;
    return true;
  }
  if (std::memcmp(tail, "EOF1", 4) == 0 &&
      std::memcmp(tail + 80, "EOF2", 4) == 0) {
    labels->end_of_volume = false;
    return true;
  }
  return Fail(why,
              "the file does not end with EOV1+EOV2 or EOF1+EOF2 "
              "labels: the volume is incomplete or damaged");
}

}  // namespace cli
}  // namespace kor
