// The archive device string's rules, shared by the library (which applies
// the string to a stripe) and korbr (which names what is wrong with one
// before the library refuses it without a word).
//
// Grammar: a key is every character up to the next '='; a value every
// character after it up to the next ';' or the end.  No quoting, no
// trimming; keys and codes compare without regard to letter case.  A key
// of more than 15 characters or a value of more than 255 ends the parse.
// Text after the last complete pair (a key without '=', or "key=" at the
// very end) is not a pair and has no effect.
//
// Header only and including nothing of ours.
#ifndef KORBR_RULES_DEVICE_STRING_RULES_H_
#define KORBR_RULES_DEVICE_STRING_RULES_H_

#include <cstdint>
#include <string>

namespace kor {

constexpr size_t kMaxDeviceKeyLength = 15;
constexpr size_t kMaxDeviceValueLength = 255;

enum class DeviceKey {
  kDevname,
  kDbtype,
  kBackupId,
  kPrevBackupId,
  kCreator,
  kTotalTapes,
  kType,
  kMethod,
  kLocation,
  kBlocksize,
  kReqfreekb,
  kAttended,
  kCapacity,
  kStacker,
};

struct DeviceKeyRule {
  DeviceKey id;
  const char *name;
  // The largest decimal value the library's field keeps without wrapping;
  // 0 for a text key and for the ids, whose value is taken as it comes.
  uint64_t number_max;
};

inline constexpr DeviceKeyRule kDeviceKeys[] = {
    {DeviceKey::kDevname, "devname", 0},
    {DeviceKey::kDbtype, "dbtype", 0},
    {DeviceKey::kBackupId, "backup_id", 0},
    {DeviceKey::kPrevBackupId, "prev_backup_id", 0},
    {DeviceKey::kCreator, "creator", 0},
    {DeviceKey::kTotalTapes, "total_tapes", INT32_MAX},
    {DeviceKey::kType, "type", 0},
    {DeviceKey::kMethod, "method", 0},
    {DeviceKey::kLocation, "location", 0},
    {DeviceKey::kBlocksize, "blocksize", INT32_MAX},
    {DeviceKey::kReqfreekb, "reqfreekb", UINT32_MAX},
    {DeviceKey::kCapacity, "capacity", INT32_MAX},
    {DeviceKey::kStacker, "stacker", INT32_MAX},
    {DeviceKey::kAttended, "attended", INT32_MAX},
};

// The codes the three coded keys accept.
struct CodeList {
  const char *const *codes;
  int count;
};
inline constexpr const char *kDbtypeCodes[] = {"ZDBn", "ZDBX", "Unkn"};
inline constexpr const char *kTypeCodes[] = {"Full", "Incr", "InSF", "DBFO"};
inline constexpr const char *kMethodCodes[] = {"Imag", "Arch", "Othr"};
inline constexpr CodeList kDbtypeList = {kDbtypeCodes, 3};
inline constexpr CodeList kTypeList = {kTypeCodes, 4};
inline constexpr CodeList kMethodList = {kMethodCodes, 3};

// Block sizes a tape stripe accepts: room for the 160-byte end-of-volume
// record at the bottom, the largest record a tape image holds at the top.
// A disk stripe takes any value, since it never uses it.
// Without the key a stripe's blocksize is 65536.
constexpr int32_t kDefaultBlockSize = 65536;
constexpr int64_t kMinTapeBlockSize = 161;
constexpr int64_t kMaxTapeBlockSize = 0x00FFFFFF;
inline bool TapeBlockSizeFits(int64_t blocksize) {
  return blocksize >= kMinTapeBlockSize && blocksize <= kMaxTapeBlockSize;
}

// Capacity: a value in KB; without the key, 1572864 KB.  A value below
// 1 GiB (taken unsigned, so negative values are huge) is worth telling the
// operator about; a volume holds at least 256 KB, in steps of 64 KB.
constexpr uint64_t kDefaultCapacity = 1610612736ull;
constexpr uint32_t kSmallCapacityKb = 0x100000;
constexpr int64_t kMinCapacityKb = 256;
constexpr int64_t kCapacityStepKb = 64;
inline bool IsSmallCapacityKb(int32_t kilobytes) {
  return static_cast<uint32_t>(kilobytes) < kSmallCapacityKb;
}
inline int64_t CapacityKbKept(int64_t kilobytes) {
  const int64_t kb = kilobytes < kMinCapacityKb ? kMinCapacityKb : kilobytes;
  return kb - kb % kCapacityStepKb;
}

inline char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool EqualIgnoringCase(const std::string &a, const char *b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return i == a.size() && b[i] == '\0';
}

// The rule of `key`, null for an unknown key.
inline const DeviceKeyRule *FindDeviceKey(const std::string &key) {
  for (const DeviceKeyRule &rule : kDeviceKeys) {
    if (EqualIgnoringCase(key, rule.name)) return &rule;
  }
  return nullptr;
}

inline bool IsOneOfCodes(const std::string &value, const CodeList &list) {
  for (int i = 0; i < list.count; ++i) {
    if (EqualIgnoringCase(value, list.codes[i])) return true;
  }
  return false;
}

enum class DeviceStringEnd { kWhole, kKeyTooLong, kValueTooLong, kStopped };

// Where a walk over a device string ended: for an early end, the key
// (cut at 16 characters when it is the one too long) that ended it and
// the offset in the text where that key begins.
struct DeviceStringWalk {
  DeviceStringEnd end = DeviceStringEnd::kWhole;
  std::string key;
  size_t key_at = 0;
  // The text after the last complete pair, as it stands ("" when none):
  // a key without '=', or "key=" at the very end.
  std::string rest;
};

// Walks `text` pair by pair in the library's grammar, calling
// `on_pair(key, value)` (both std::string) for each complete pair in order;
// `on_pair` returns false to stop the walk (end kStopped).  A length rule
// broken ends the walk after the pairs before it.
template <typename OnPair>
DeviceStringWalk WalkDeviceString(const char *text, OnPair &&on_pair) {
  DeviceStringWalk walk;
  std::string key;
  std::string value;
  bool in_value = false;
  for (const char *p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (!in_value) {
      if (c == '=') {
        in_value = true;
        continue;
      }
      if (key.empty()) walk.key_at = static_cast<size_t>(p - text);
      if (key.size() == kMaxDeviceKeyLength) {
        walk.end = DeviceStringEnd::kKeyTooLong;
        walk.key = key + c;
        return walk;
      }
      key.push_back(c);
      continue;
    }
    bool complete = false;
    if (c == ';') {
      complete = true;
    } else {
      if (value.size() == kMaxDeviceValueLength) {
        walk.end = DeviceStringEnd::kValueTooLong;
        walk.key = key;
        return walk;
      }
      value.push_back(c);
      complete = p[1] == '\0';
    }
    if (complete) {
      if (!on_pair(key, value)) {
        walk.end = DeviceStringEnd::kStopped;
        walk.key = key;
        return walk;
      }
      key.clear();
      value.clear();
      in_value = false;
    }
  }
  walk.rest = in_value ? key + "=" : key;
  return walk;
}

}  // namespace kor

#endif  // KORBR_RULES_DEVICE_STRING_RULES_H_
