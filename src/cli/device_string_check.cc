// Checking archive device strings the way the library parses them.
#include "cli/device_string_check.h"

#include <cctype>
#include <cstring>
#include <vector>

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
const std::vector<const char *> kNumberKeys = {
    "blocksize", "reqfreekb", "capacity", "stacker", "attended", "total_tapes"};
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
    if (OneOf(key, kNumberKeys)) {
      bool digits = !value.empty();
      for (char c : value) {
        digits = digits && std::isdigit(static_cast<unsigned char>(c));
      }
      if (!digits) {
        *why = key + "=" + value + " is not a decimal number" +
               (key == "capacity" ? " of KB (no suffix)" : "");
        return false;
      }
    }
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
