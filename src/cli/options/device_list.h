// The archive device strings of a command's stripes.
//
// `--device` is given once with "{stripe}" standing for the stripe number
// (one string serves every stripe), or once per stripe.  The library reads
// the strings; korbr only substitutes the stripe number and looks up the
// devname value to tell the operator which stripe a message is about.
#ifndef KORBR_CLI_DEVICE_LIST_H_
#define KORBR_CLI_DEVICE_LIST_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace cli {

constexpr char kStripePlaceholder[] = "{stripe}";

// `text` with every "{stripe}" replaced by the decimal stripe number.
std::string ExpandStripe(const std::string &text, uint32_t stripe);
bool HasStripePlaceholder(const std::string &text);

// The device string of every stripe.  `stripes` is the --stripes value, 0
// when it was not given (then one string gives one stripe, or k strings k
// stripes).  Refuses: no device; several devices and a different --stripes;
// one device without "{stripe}" for several stripes; two stripes with the
// same string (they would overwrite each other's volumes).
bool ExpandDevices(const std::vector<std::string> &devices, uint32_t stripes,
                   std::vector<std::string> *expanded, std::string *error);

// The value of the devname key (matched without regard to case), "" when
// the string has none.
std::string DevnameOf(const std::string &devstring);
// The value of `key` (matched without regard to case), "" when the string
// has none, read in the library's grammar.  A key given twice gives its
// last value.
std::string DeviceStringValue(const std::string &devstring,
                              const std::string &key);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_DEVICE_LIST_H_
