// Label records are built from constants; the volume serial in VOL1 is the
// only variable content.  Each builder writes exactly its label's length so
// that a caller may build a label into the front of a larger tape block.
#include "label/label_format.h"

#include <cstdio>
#include <cstring>

namespace kor {
namespace {

// Copies the characters of `text` (without its terminator) to `at`.
void Put(char *at, const char *text) {
  std::memcpy(at, text, std::strlen(text));
}

// First-label layout (HDR1, EOV1, EOF1): the 60 bytes common to all three.
// Everything after offset 60 is blank, up to 68 (HDR1) or 80 (EOV1, EOF1).
char *BuildFirstLabel(char *area, const char *id, int32_t length) {
  std::memset(area, ' ', static_cast<size_t>(length));
  Put(area + 0, id);
  // 4: file identifier (17) and 21: file-set identifier (6) stay blank.
  Put(area + 27, "0000");    // file section number
  Put(area + 31, "0000");    // file sequence number
  Put(area + 35, "0000");    // generation number
  Put(area + 39, "00");      // generation version number
  Put(area + 41, "000000");  // creation date
  Put(area + 47, "000000");  // expiration date
  Put(area + 53, "0");       // accessibility
  Put(area + 54, "000000");  // block count
  return area;
}

// Second-label layout (HDR2, EOV2, EOF2), 80 bytes.
char *BuildSecondLabel(char *area, const char *id) {
  std::memset(area, ' ', kLabelSize);
  Put(area + 0, id);
  Put(area + 4, "F");       // record format: fixed
  Put(area + 5, "00000");   // block length
  Put(area + 10, "00000");  // record length
  // 15: implementation-dependent area (35) stays blank.
  Put(area + 50, "00");     // buffer-offset length
  // 52: reserved (28) stays blank.
  return area;
}

// White space as the C locale knows it: blank, \t \n \v \f \r.
bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The decimal text-to-integer rule of atoi, on a field of `width` bytes that
// is not NUL-terminated: leading white space, one optional sign, digits up
// to the first non-digit; no digits give 0.  The fields are at most four
// bytes wide, so the value cannot overflow.
int32_t FieldToInt(const char *field, int width) {
  int i = 0;
  while (i < width && IsWhiteSpace(field[i])) ++i;
  bool negative = false;
  if (i < width && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  int32_t value = 0;
  while (i < width && field[i] >= '0' && field[i] <= '9') {
    value = value * 10 + (field[i] - '0');
    ++i;
  }
  return negative ? -value : value;
}

}  // namespace

char *BuildVol1Label(char *area, int32_t stripe, int32_t volume) {
  std::memset(area, ' ', kLabelSize);
  Put(area + 0, "VOL1");
  // The serial keeps only its first six characters: stripes above 99 or
  // volumes above 9999 are cut and no longer read back as the same pair.
  // Two int32 values take at most 22 characters.
  char serial[32];
  std::snprintf(serial, sizeof serial, "%.2d%.4d", static_cast<int>(stripe),
                static_cast<int>(volume));
  std::memcpy(area + 4, serial, 6);
  // 10..78: accessibility, reserved, owner identifier, reserved: blanks.
  area[79] = '4';  // label-standard version
  return area;
}

char *BuildHdr1Label(char *area) {
  return BuildFirstLabel(area, "HDR1", kHdr1Size);
}
char *BuildHdr2Label(char *area) { return BuildSecondLabel(area, "HDR2"); }
char *BuildEov1Label(char *area) {
  return BuildFirstLabel(area, "EOV1", kLabelSize);
}
char *BuildEov2Label(char *area) { return BuildSecondLabel(area, "EOV2"); }
char *BuildEof1Label(char *area) {
  return BuildFirstLabel(area, "EOF1", kLabelSize);
}
char *BuildEof2Label(char *area) { return BuildSecondLabel(area, "EOF2"); }

char *BuildEovRecord(char *area) {
  BuildEov1Label(area);
  BuildEov2Label(area + kLabelSize);
  return area;
}

char *BuildEofRecord(char *area) {
  BuildEof1Label(area);
  BuildEof2Label(area + kLabelSize);
  return area;
}

void ParseVolumeSerial(const char *vol1, int32_t *stripe, int32_t *volume) {
  *stripe = FieldToInt(vol1 + 4, 2);
  *volume = FieldToInt(vol1 + 6, 4);
}

namespace {

// True when `data` holds the trailer pair first+second at offsets 0 and 80.
bool IsTrailerRecord(const void *data, int64_t length, const char *first,
                     const char *second) {
  if (data == nullptr || length < kLabelSize + 4) return false;
  const char *bytes = static_cast<const char *>(data);
  return std::memcmp(bytes, first, 4) == 0 &&
         std::memcmp(bytes + kLabelSize, second, 4) == 0;
}

// True when the `length` bytes (fewer than 84) agree with the beginning of
// the trailer pair first+second.
bool CouldBeginTrailerRecord(const void *data, int64_t length,
                             const char *first, const char *second) {
  // At 84 bytes and more the record can be told apart.
  if (data == nullptr || length <= 0 || length >= kLabelSize + 4) return false;
  const char *bytes = static_cast<const char *>(data);
  size_t head = static_cast<size_t>(length < 4 ? length : 4);
  if (std::memcmp(bytes, first, head) != 0) return false;
  if (length > kLabelSize) {
    size_t tail = static_cast<size_t>(length - kLabelSize);
    if (std::memcmp(bytes + kLabelSize, second, tail) != 0) return false;
  }
  return true;
}

}  // namespace

bool IsEovRecord(const void *data, int64_t length) {
  return IsTrailerRecord(data, length, "EOV1", "EOV2");
}

bool IsEofRecord(const void *data, int64_t length) {
  return IsTrailerRecord(data, length, "EOF1", "EOF2");
}

bool CouldBeginTrailer(const void *data, int64_t length) {
  return CouldBeginTrailerRecord(data, length, "EOV1", "EOV2") ||
         CouldBeginTrailerRecord(data, length, "EOF1", "EOF2");
}

}  // namespace kor
