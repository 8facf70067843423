#include "os/tape/simh_image.h"

#include <cstring>

namespace kor {
namespace simh {

uint32_t LoadWord(const uint8_t *bytes) {
  return static_cast<uint32_t>(bytes[0]) |
         static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 |
         static_cast<uint32_t>(bytes[3]) << 24;
}

void StoreWord(uint8_t *bytes, uint32_t word) {
  bytes[0] = static_cast<uint8_t>(word);
  bytes[1] = static_cast<uint8_t>(word >> 8);
  bytes[2] = static_cast<uint8_t>(word >> 16);
  bytes[3] = static_cast<uint8_t>(word >> 24);
}

WordKind ClassifyWord(uint32_t word) {
  if (word == kTapeMarkWord) return WordKind::kTapeMark;
  if (word == kEndOfMediumWord) return WordKind::kEndOfMedium;
  if (word <= kMaxRecordLength) return WordKind::kRecord;
  return WordKind::kInvalid;
}

uint64_t RecordFootprint(uint32_t length) {
  return 2 * kWordSize + static_cast<uint64_t>(length) + (length & 1u);
}

bool FrameRecord(uint32_t length, RecordFrame *frame) {
  if (length == 0 || length > kMaxRecordLength) return false;
  StoreWord(frame->prefix, length);
  size_t at = 0;
  if ((length & 1u) != 0) frame->suffix[at++] = 0;
  StoreWord(frame->suffix + at, length);
  frame->suffix_size = at + kWordSize;
  return true;
}

bool AppendRecord(std::vector<uint8_t> *image, const uint8_t *data,
                  uint32_t length) {
  RecordFrame frame;
  if (!FrameRecord(length, &frame)) return false;
  image->insert(image->end(), frame.prefix, frame.prefix + kWordSize);
  image->insert(image->end(), data, data + length);
  image->insert(image->end(), frame.suffix, frame.suffix + frame.suffix_size);
  return true;
}

namespace {
void AppendWord(std::vector<uint8_t> *image, uint32_t word) {
  uint8_t bytes[kWordSize];
  StoreWord(bytes, word);
  image->insert(image->end(), bytes, bytes + kWordSize);
}
}  // namespace

void AppendTapeMark(std::vector<uint8_t> *image) {
  AppendWord(image, kTapeMarkWord);
}

void AppendEndOfMedium(std::vector<uint8_t> *image) {
  AppendWord(image, kEndOfMediumWord);
}

DecodeStatus DecodeObject(const uint8_t *bytes, size_t size, uint64_t offset,
                          Object *object) {
  if (size == 0) return DecodeStatus::kEnd;
  if (size < kWordSize) return DecodeStatus::kTruncated;
  const uint32_t word = LoadWord(bytes);
  *object = Object();
  object->offset = offset;
  switch (ClassifyWord(word)) {
    case WordKind::kTapeMark:
      object->kind = Object::kTapeMark;
      return DecodeStatus::kOk;
    case WordKind::kEndOfMedium:
      object->kind = Object::kEndOfMedium;
      return DecodeStatus::kOk;
    case WordKind::kInvalid:
      return DecodeStatus::kDamaged;
    case WordKind::kRecord:
      break;
  }
  object->kind = Object::kRecord;
  object->length = word;
  object->data_offset = offset + kWordSize;
  const uint64_t footprint = RecordFootprint(word);
  if (size < footprint) return DecodeStatus::kTruncated;
  if (LoadWord(bytes + footprint - kWordSize) != word)
    return DecodeStatus::kDamaged;
  return DecodeStatus::kOk;
}

uint64_t ObjectSize(const Object &object) {
  return object.kind == Object::kRecord ? RecordFootprint(object.length)
                                        : kWordSize;
}

DecodeStatus DecodeImage(const uint8_t *bytes, size_t size,
                         std::vector<Object> *objects) {
  objects->clear();
  uint64_t at = 0;
  for (;;) {
    Object object;
    const DecodeStatus status =
        DecodeObject(bytes + at, size - static_cast<size_t>(at), at, &object);
    if (status == DecodeStatus::kEnd) return DecodeStatus::kOk;
    if (status != DecodeStatus::kOk) return status;
    objects->push_back(object);
    if (object.kind == Object::kEndOfMedium) return DecodeStatus::kOk;
    at += ObjectSize(object);
  }
}

}  // namespace simh
}  // namespace kor
