// The message numbers the library sends a host, and how many text
// arguments each carries at most: the one definition every test host
// reads them by (the unit tests' recorder, the integration harness, the
// fault matrix, the fuzz host).  Header only and free of the library's
// internals, so that tests which see nothing but the public header can
// use it too.
//
// A host reads a message's arguments up to its count and stops at the
// first null slot (6920 and 6932 also come with fewer).  The library
// leaves every slot past the last argument null; the test hosts check
// that, so a message that gains an argument fails here until its count
// does.
#ifndef KORBR_TESTS_SUPPORT_MESSAGE_CATALOG_H_
#define KORBR_TESTS_SUPPORT_MESSAGE_CATALOG_H_

#include <cstdint>

namespace kor {
namespace testkit {

struct MessageShape {
  int32_t number;
  int arguments;  // text arguments at most
};

// Errors 6918..6944 and operator messages 9234..9237.
inline constexpr MessageShape kMessageCatalog[] = {
    {6918, 0}, {6920, 2}, {6921, 2}, {6923, 0}, {6925, 1}, {6926, 2},
    {6927, 2}, {6928, 2}, {6929, 2}, {6930, 0}, {6931, 2}, {6932, 2},
    {6934, 2}, {6935, 2}, {6936, 1}, {6937, 1}, {6939, 1}, {6944, 1},
    {9234, 2}, {9235, 2}, {9236, 2}, {9237, 1},
};

// The text arguments `number` carries at most; -1 when the library has no
// such message.
inline int MessageArgumentCount(int32_t number) {
  for (const MessageShape &shape : kMessageCatalog)
    if (shape.number == number) return shape.arguments;
  return -1;
}

inline bool IsLibraryMessage(int32_t number) {
  return MessageArgumentCount(number) >= 0;
}

}  // namespace testkit
}  // namespace kor

#endif  // KORBR_TESTS_SUPPORT_MESSAGE_CATALOG_H_
