// The archive device string: "key=value;key=value..." describing one
// stripe's device and tuning, parsed once during kor_open.
//
// The grammar, the keys and their limits are rules/device_string_rules.h,
// which korbr checks a string by before handing it over.
#ifndef KORBR_DEVSTRING_ARCHDEV_PARSER_H_
#define KORBR_DEVSTRING_ARCHDEV_PARSER_H_

#include <cstdint>
#include <string>

#include "core/stripe_handle.h"
#include "rules/device_string_rules.h"

namespace kor {

// The block sizes a tape stripe accepts (rules/device_string_rules.h).
constexpr int32_t kMinBlockSize = static_cast<int32_t>(kMinTapeBlockSize);
constexpr int32_t kMaxBlockSize = static_cast<int32_t>(kMaxTapeBlockSize);
static_assert(kMinBlockSize == kEovRecordSize + 1,
              "a tape block must hold the end-of-volume record");

// Parses `text` into the handle (whose stripe is already set).  0 on
// success, -1 when the string is rejected; the caller raises 6918.  May
// post operator message 9237 and trace lines.  Pairs before a rejection
// have already been applied.  A tape device's blocksize outside
// kMinBlockSize..kMaxBlockSize rejects the string.
int32_t ParseArchdev(StripeHandle *h, const char *text);

// Normalises the device name in place (see os/path_rules.h) using the OS
// layer's current directory and path style.  1 on success, 0 when the
// current directory cannot be had or the result does not fit 255
// characters.
int32_t NormalizeDevicePath(char *path, size_t size);

// 1 when `text` equals one of the `count` codes ignoring letter case.
int32_t MatchCode(const char *text, const char *const *codes, int32_t count);

// The capacity rule: a value in KB (signed 32-bit) to bytes.  Posts 9237
// for values below 1048576 KB (taken unsigned) and traces the result.
uint64_t ApplyCapacityRule(StripeHandle *h, int32_t kilobytes);

}  // namespace kor

#endif  // KORBR_DEVSTRING_ARCHDEV_PARSER_H_
