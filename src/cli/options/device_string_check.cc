// Checking archive device strings the way the library parses them.
#include "cli/options/device_string_check.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cli/options/arg_parser.h"

namespace kor {
namespace cli {
namespace {

std::string Lower(std::string text) {
  for (char &c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool OneOf(const std::string &value, const std::vector<const char *> &codes) {
  for (const char *code : codes) {
    if (Lower(value) == Lower(code)) return true;
  }
  return false;
}

std::string List(const std::vector<const char *> &codes) {
  std::string text;
  for (size_t i = 0; i < codes.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == codes.size() ? " or " : ", ");
    text += codes[i];
  }
  return text;
}

const std::vector<const char *> kKeys = {
    "devname",     "dbtype",   "backup_id", "prev_backup_id", "creator",
    "total_tapes", "type",     "method",    "location",       "blocksize",
    "reqfreekb",   "capacity", "stacker",   "attended"};
// The library reads every number into 32 bits and keeps what wraps: a
// capacity of 4294967296 KB would become 0 (the smallest volume), one of
// 2147483648 a negative number.  Each key's largest value its field holds
// (reqfreekb's field is unsigned).
struct NumberKey {
  const char *name;
  uint64_t max;
};
const NumberKey kNumberKeys[] = {
    {"blocksize", INT32_MAX}, {"reqfreekb", UINT32_MAX},
    {"capacity", INT32_MAX},  {"stacker", INT32_MAX},
    {"attended", INT32_MAX},  {"total_tapes", INT32_MAX}};

const NumberKey *FindNumberKey(const std::string &key) {
  for (const NumberKey &k : kNumberKeys) {
    if (key == k.name) return &k;
  }
  return nullptr;
}
const std::vector<const char *> kDbtypes = {"ZDBn", "ZDBX", "Unkn"};
const std::vector<const char *> kTypes = {"Full", "Incr", "InSF", "DBFO"};
const std::vector<const char *> kMethods = {"Imag", "Arch", "Othr"};

constexpr size_t kMaxKey = 15;
constexpr size_t kMaxValue = 255;

}  // namespace

const char kDeviceStringRules[] =
    "a device string is key=value pairs separated by ';' and needs devname= "
    "and dbtype= (ZDBn, ZDBX or Unkn); keys: devname, dbtype, capacity, "
    "blocksize, reqfreekb, attended, stacker, backup_id, prev_backup_id, "
    "total_tapes, creator, type, method, location; numbers in decimal";

bool CheckDeviceString(const std::string &devstring, std::string *why) {
  bool have_devname = false;
  bool have_devname_key = false;  // even with an empty value
  bool have_dbtype = false;
  size_t at = 0;
  while (at <= devstring.size()) {
    size_t end = devstring.find(';', at);
    if (end == std::string::npos) end = devstring.size();
    const std::string piece = devstring.substr(at, end - at);
    at = end + 1;
    if (piece.empty()) continue;
    const size_t equals = piece.find('=');
    if (equals == std::string::npos) {
      *why = "'" + piece + "' is not key=value";
      return false;
    }
    const std::string key = Lower(piece.substr(0, equals));
    const std::string value = piece.substr(equals + 1);
    if (key.size() > kMaxKey || !OneOf(key, kKeys)) {
      *why = "unknown key '" + piece.substr(0, equals) + "'";
      return false;
    }
    if (value.size() > kMaxValue) {
      *why = "the value of " + key + " is longer than 255 characters";
      return false;
    }
    if (const NumberKey *number = FindNumberKey(key)) {
      bool digits = !value.empty();
      for (char c : value) {
        digits = digits && std::isdigit(static_cast<unsigned char>(c));
      }
      if (!digits) {
        *why = key + "=" + value + " is not a decimal number" +
               (key == "capacity" ? " of KB (no suffix)" : "");
        return false;
      }
      uint64_t parsed = 0;
      if (!ParseCount(value, 0, number->max, &parsed)) {
        *why = key + "=" + value + " is more than the library can hold (at "
               "most " + std::to_string(number->max) +
               (key == "capacity" ? " KB)" : ")");
        return false;
      }
    }
    if (key == "devname" && have_devname_key) {
      // The library would take the last one; two names for one stripe are
      // a mistake, not a choice.
      *why = "devname= is given twice";
      return false;
    }
    if (key == "devname") have_devname_key = true;
    if (key == "devname") have_devname = !value.empty();
    if (key == "dbtype") {
      if (!OneOf(value, kDbtypes)) {
        *why = "dbtype=" + value + " is not " + List(kDbtypes);
        return false;
      }
      have_dbtype = true;
    }
    if (key == "type" && !OneOf(value, kTypes)) {
      *why = "type=" + value + " is not " + List(kTypes);
      return false;
    }
    if (key == "method" && !OneOf(value, kMethods)) {
      *why = "method=" + value + " is not " + List(kMethods);
      return false;
    }
  }
  if (!have_devname) {
    *why = "devname= is missing";
    return false;
  }
  if (!have_dbtype) {
    *why = "dbtype= is missing";
    return false;
  }
  return true;
}

}  // namespace cli
}  // namespace kor
