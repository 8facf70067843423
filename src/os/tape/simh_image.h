// The SIMH tape image format: pure record framing, bytes in, objects out.
//
// A tape image is a sequence of 32-bit little-endian words and data:
//
//   record      | length L | L data bytes | one 0 byte if L is odd | L |
//   tape mark   | 0x00000000 |
//   end medium  | 0xFFFFFFFF |
//
// L is 1..0x00FFFFFF (bits 23..0; the upper byte is 0).  Other header words
// (SIMH's error-flagged records, gaps) are not written by this library and
// are read as a damaged image.  The end of the file is the end of the
// recorded data.  Debian's `mtdump` lists such an image object by object.
#ifndef KORBR_OS_TAPE_SIMH_IMAGE_H_
#define KORBR_OS_TAPE_SIMH_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kor {
namespace simh {

constexpr uint32_t kTapeMarkWord = 0x00000000u;
constexpr uint32_t kEndOfMediumWord = 0xFFFFFFFFu;
constexpr uint32_t kMaxRecordLength = 0x00FFFFFFu;
constexpr size_t kWordSize = 4;

uint32_t LoadWord(const uint8_t *bytes);
void StoreWord(uint8_t *bytes, uint32_t word);

// What a header word announces.
enum class WordKind { kRecord, kTapeMark, kEndOfMedium, kInvalid };
WordKind ClassifyWord(uint32_t word);

// Bytes a record of `length` data bytes takes in the image: both length
// words, the data and the pad byte.
uint64_t RecordFootprint(uint32_t length);

// The framing around a record's data: the leading length word, and the pad
// byte (when the length is odd) followed by the trailing length word.  A
// writer sends prefix, data, suffix; `suffix_size` is 4 or 5.
struct RecordFrame {
  uint8_t prefix[kWordSize];
  uint8_t suffix[kWordSize + 1];
  size_t suffix_size;
};
// False when `length` is 0 or above kMaxRecordLength.
bool FrameRecord(uint32_t length, RecordFrame *frame);

// Appends one encoded record / tape mark / end-of-medium word to `image`.
bool AppendRecord(std::vector<uint8_t> *image, const uint8_t *data,
                  uint32_t length);
void AppendTapeMark(std::vector<uint8_t> *image);
void AppendEndOfMedium(std::vector<uint8_t> *image);

// One object of an image.
struct Object {
  enum Kind { kRecord, kTapeMark, kEndOfMedium } kind = kRecord;
  uint64_t offset = 0;       // where its header word starts
  uint32_t length = 0;       // records: data bytes
  uint64_t data_offset = 0;  // records: where the data starts
};

// Result of decoding the object at the start of `bytes`.
enum class DecodeStatus {
  kOk,         // *object holds it; it takes ObjectSize(*object) bytes
  kEnd,        // no bytes left: the end of the recorded data
  kTruncated,  // the image ends inside the object
  kDamaged,    // a header word that is not a record length, a tape mark or
               // the end of the medium; or trailing length != leading length
};
DecodeStatus DecodeObject(const uint8_t *bytes, size_t size, uint64_t offset,
                          Object *object);
// Bytes the object takes in the image.
uint64_t ObjectSize(const Object &object);

// Decodes a whole image.  kOk when every object decoded and the image ends
// at an object boundary (an end-of-medium word ends the decoding: whatever
// follows it is not looked at); otherwise the status of the first object
// that failed, with *objects holding those before it.
DecodeStatus DecodeImage(const uint8_t *bytes, size_t size,
                         std::vector<Object> *objects);

}  // namespace simh
}  // namespace kor

#endif  // KORBR_OS_TAPE_SIMH_IMAGE_H_
