// korbr's own check of an archive device string before the library sees
// it.  The library refuses a bad string with one number (6918) and no
// word of what is wrong; korbr names the key or value: a piece that is not
// key=value, an unknown key, a missing devname or dbtype, a dbtype, type or
// method outside its codes, a number key whose value is not a decimal
// number (capacity=1m, capacity=abc) or larger than the library's field
// holds (capacity=4294967296), devname given twice, a key or value longer
// than the library takes.  Keys and codes are matched without regard to
// case, as the library does.
#ifndef KORBR_CLI_DEVICE_STRING_CHECK_H_
#define KORBR_CLI_DEVICE_STRING_CHECK_H_

#include <string>

namespace kor {
namespace cli {

// True when the library would accept `devstring`; otherwise false with
// what is wrong in `why` (one line, without the rules).
bool CheckDeviceString(const std::string &devstring, std::string *why);

// The rules, for after the reason.
extern const char kDeviceStringRules[];

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_DEVICE_STRING_CHECK_H_
