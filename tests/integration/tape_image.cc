#include "tape_image.h"

#include "host_harness.h"

namespace korit {

::testing::AssertionResult DecodeImageObjects(const std::vector<uint8_t> &image,
                                              const std::string &name,
                                              std::vector<ImageObject> *objects) {
  auto word = [&](size_t at) {
    return static_cast<uint32_t>(image[at]) |
           static_cast<uint32_t>(image[at + 1]) << 8 |
           static_cast<uint32_t>(image[at + 2]) << 16 |
           static_cast<uint32_t>(image[at + 3]) << 24;
  };
  objects->clear();
  size_t at = 0;
  while (at < image.size()) {
    if (image.size() - at < 4)
      return ::testing::AssertionFailure() << name << ": cut word at " << at;
    ImageObject object;
    object.length = word(at);
    if (object.length == 0) {
      objects->push_back(object);
      at += 4;
      continue;
    }
    if (object.length > 0x00FFFFFFu)
      return ::testing::AssertionFailure() << name << ": bad word at " << at;
    const size_t footprint = 8 + object.length + (object.length & 1u);
    if (image.size() - at < footprint)
      return ::testing::AssertionFailure() << name << ": cut record at " << at;
    if ((object.length & 1u) != 0 && image[at + 4 + object.length] != 0)
      return ::testing::AssertionFailure()
             << name << ": pad byte not 0 at " << at;
    if (word(at + footprint - 4) != object.length)
      return ::testing::AssertionFailure()
             << name << ": lengths differ at " << at;
    object.data_offset = at + 4;
    objects->push_back(object);
    at += footprint;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult DecodeImage(const std::string &path,
                                       std::vector<uint32_t> *objects) {
  std::vector<ImageObject> found;
  ::testing::AssertionResult decoded =
      DecodeImageObjects(ReadWholeFile(path), path, &found);
  objects->clear();
  for (const ImageObject &object : found) objects->push_back(object.length);
  return decoded;
}

}  // namespace korit
