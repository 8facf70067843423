// Checking archive device strings the way the library parses them: the
// library's own grammar and key rules (rules/device_string_rules.h), with
// a word for every refusal.
#include "cli/options/device_string_check.h"

#include <cctype>
#include <cstdint>

#include "cli/options/arg_parser.h"
#include "rules/device_string_rules.h"
#include "rules/tape_name_rules.h"

namespace kor {
namespace cli {
namespace {

std::string Lower(std::string text) {
  for (char &c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string List(const CodeList &list) {
  std::string text;
  for (int i = 0; i < list.count; ++i) {
    text += (i == 0 ? "" : i + 1 == list.count ? " or " : ", ");
    text += list.codes[i];
  }
  return text;
}

// Why a key the library does not know is refused.  The grammar takes
// everything up to '=' as the key, so a piece without '=' runs into the
// key after it: "abc;dbtype" names the piece "abc".
std::string UnknownKey(const std::string &key) {
  const size_t semicolon = key.find(';');
  if (semicolon == std::string::npos) return "unknown key '" + key + "'";
  if (semicolon == 0) return "an empty piece (';;' or a leading ';')";
  return "'" + key.substr(0, semicolon) + "' is not key=value";
}

// A piece of the text that is no pair: named up to its ';'.
std::string NotAPair(const std::string &piece) {
  const size_t semicolon = piece.find(';');
  if (semicolon == 0) return UnknownKey(piece);
  return "'" + piece.substr(0, semicolon) + "' is not key=value";
}

// What a walk that ended on a length rule says, naming the whole key.
std::string EarlyEnd(const std::string &devstring,
                     const DeviceStringWalk &walk) {
  if (walk.end == DeviceStringEnd::kValueTooLong)
    return "the value of " + Lower(walk.key) +
           " is longer than 255 characters";
  const size_t equals = devstring.find('=', walk.key_at);
  if (equals == std::string::npos)
    return NotAPair(devstring.substr(walk.key_at));
  return UnknownKey(devstring.substr(walk.key_at, equals - walk.key_at));
}

// Why a number key's value would be misread, "" when it is fine.  The
// library reads every number into its field and keeps what wraps: a
// capacity of 4294967296 KB would become 0 (the smallest volume), one of
// 2147483648 a negative number.
std::string BadNumber(const DeviceKeyRule &rule, const std::string &value) {
  const std::string key = rule.name;
  bool digits = !value.empty();
  for (char c : value) {
    digits = digits && std::isdigit(static_cast<unsigned char>(c));
  }
  if (!digits) {
    return key + "=" + value + " is not a decimal number" +
           (rule.id == DeviceKey::kCapacity ? " of KB (no suffix)" : "");
  }
  uint64_t parsed = 0;
  if (!ParseCount(value, 0, rule.number_max, &parsed)) {
    return key + "=" + value + " is more than the library can hold (at "
           "most " + std::to_string(rule.number_max) +
           (rule.id == DeviceKey::kCapacity ? " KB)" : ")");
  }
  return "";
}

// A coded key's value outside its codes, "" when it is fine.
std::string BadCode(const DeviceKeyRule &rule, const std::string &value) {
  const CodeList *codes = rule.id == DeviceKey::kDbtype   ? &kDbtypeList
                          : rule.id == DeviceKey::kType   ? &kTypeList
                          : rule.id == DeviceKey::kMethod ? &kMethodList
                                                          : nullptr;
  if (codes == nullptr || IsOneOfCodes(value, *codes)) return "";
  return std::string(rule.name) + "=" + value + " is not " + List(*codes);
}

// What the walk has seen of the pairs that decide acceptance.
struct Seen {
  bool devname_key = false;  // even with an empty value
  bool devname = false;
  bool dbtype = false;
  bool tape = false;
  std::string blocksize;  // the last value given
};

// Checks one pair; "" when it is fine.
std::string CheckPair(const std::string &key, const std::string &value,
                      Seen *seen) {
  const DeviceKeyRule *rule = FindDeviceKey(key);
  if (rule == nullptr) return UnknownKey(key);
  if (rule->number_max != 0) {
    const std::string why = BadNumber(*rule, value);
    if (!why.empty()) return why;
  }
  const std::string why = BadCode(*rule, value);
  if (!why.empty()) return why;
  if (rule->id == DeviceKey::kDevname) {
    // The library would take the last one; two names for one stripe are
    // a mistake, not a choice.
    if (seen->devname_key) return "devname= is given twice";
    seen->devname_key = true;
    seen->devname = !value.empty();
    seen->tape = IsTapeName(ReduceTapePrefix(value));
  }
  if (rule->id == DeviceKey::kDbtype) seen->dbtype = true;
  if (rule->id == DeviceKey::kBlocksize) seen->blocksize = value;
  return "";
}

// The text after the last pair: the library ignores it, korbr refuses it
// when it is not what the library would take.  "key=" at the very end is
// checked as a pair with an empty value (a number key is then refused, an
// empty devname= counts as the stripe's name given again).
std::string CheckRest(const std::string &rest, Seen *seen) {
  // Trailing ';' are harmless: the library drops them with the rest.
  if (rest.find_first_not_of(';') == std::string::npos) return "";
  if (rest.back() != '=') return NotAPair(rest);
  return CheckPair(rest.substr(0, rest.size() - 1), "", seen);
}

}  // namespace

const char kDeviceStringRules[] =
    "a device string is key=value pairs separated by ';' and needs devname= "
    "and dbtype= (ZDBn, ZDBX or Unkn); keys: devname, dbtype, capacity, "
    "blocksize, reqfreekb, attended, stacker, backup_id, prev_backup_id, "
    "total_tapes, creator, type, method, location; numbers in decimal; a "
    "tape's blocksize is 161 to 16777215";

bool CheckDeviceString(const std::string &devstring, std::string *why) {
  Seen seen;
  const DeviceStringWalk walk = WalkDeviceString(
      devstring.c_str(), [&](const std::string &key, const std::string &value) {
        *why = CheckPair(key, value, &seen);
        return why->empty();
      });
  if (walk.end == DeviceStringEnd::kStopped) return false;
  if (walk.end != DeviceStringEnd::kWhole) {
    *why = EarlyEnd(devstring, walk);
    return false;
  }
  *why = CheckRest(walk.rest, &seen);
  if (!why->empty()) return false;
  if (!seen.devname) {
    *why = "devname= is missing";
    return false;
  }
  if (!seen.dbtype) {
    *why = "dbtype= is missing";
    return false;
  }
  // The library sizes a tape stripe's block buffer from blocksize; a disk
  // stripe never uses it.  (Every blocksize given is a checked number.)
  if (seen.tape &&
      !TapeBlockSizeFits(seen.blocksize.empty() ? kDefaultBlockSize
                                                : std::stoll(seen.blocksize))) {
    *why = "blocksize=" + seen.blocksize + " is outside 161 to 16777215 for "
           "a tape";
    return false;
  }
  return true;
}

}  // namespace cli
}  // namespace kor
