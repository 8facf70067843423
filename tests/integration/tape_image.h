// Reads a SIMH cartridge image object by object, from its bytes alone (not
// with the library's decoder), for tests that check what a tape backup left
// on a virtual cartridge.
#ifndef KORBR_TESTS_INTEGRATION_TAPE_IMAGE_H_
#define KORBR_TESTS_INTEGRATION_TAPE_IMAGE_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korit {

// One object of an image: a record of `length` bytes whose data start at
// `data_offset`, or a tape mark (length 0).
struct ImageObject {
  uint32_t length = 0;
  size_t data_offset = 0;
};

// Decodes the whole image: 32-bit little-endian length words around each
// record's data (with a 0 pad byte after odd lengths), 0 for a tape mark.
// Fails on any framing fault and on anything after the last object.
::testing::AssertionResult DecodeImageObjects(const std::vector<uint8_t> &image,
                                              const std::string &name,
                                              std::vector<ImageObject> *objects);

// The objects of the image in `path`: records as their lengths, tape marks
// as 0.
::testing::AssertionResult DecodeImage(const std::string &path,
                                       std::vector<uint32_t> *objects);

}  // namespace korit

#endif  // KORBR_TESTS_INTEGRATION_TAPE_IMAGE_H_
