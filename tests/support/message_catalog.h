// The message numbers every test host reads the library's messages by (the
// unit tests' recorder, the integration harness, the fault matrix, the fuzz
// host): the library's own list, under the names the tests use.  The list
// is header only and free of the library's internals, so tests that see
// nothing but the public header can use it too.
//
// The library leaves every slot past a message's last argument null; the
// test hosts check that, so a message that gains an argument fails there
// until its count in the list does.
#ifndef KORBR_TESTS_SUPPORT_MESSAGE_CATALOG_H_
#define KORBR_TESTS_SUPPORT_MESSAGE_CATALOG_H_

#include <cstdint>

#include "rules/message_numbers.h"

namespace kor {
namespace testkit {

// The text arguments `number` carries at most; -1 when the library has no
// such message.
inline int MessageArgumentCount(int32_t number) {
  return LibraryMessageArguments(number);
}

inline bool IsLibraryMessage(int32_t number) {
  return MessageArgumentCount(number) >= 0;
}

}  // namespace testkit
}  // namespace kor

#endif  // KORBR_TESTS_SUPPORT_MESSAGE_CATALOG_H_
