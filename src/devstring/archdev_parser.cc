// The archive device string parser.
//
// The string is read character by character into a key and a value; each
// complete pair is applied to the handle at once, so a rejection leaves the
// pairs before it applied (kor_open discards the handle anyway).  Every
// text is bounded before it is stored: a key of more than 15 characters, a
// value of more than 255, or a value longer than the field it goes to
// rejects the string instead of running past a buffer.
#include "devstring/archdev_parser.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "diag/error_report.h"
#include "diag/trace_log.h"
#include "os/os_layer.h"
#include "os/path_rules.h"

namespace kor {
namespace {

constexpr size_t kMaxKeyLength = 15;
constexpr size_t kMaxValueLength = 255;
constexpr size_t kMaxDevnameLength = sizeof(StripeHandle::devname) - 1;
// Below this many KB a capacity is worth telling the operator about.
constexpr uint32_t kSmallCapacityKb = 0x100000;
constexpr int32_t kMinCapacityKb = 256;

enum KeyId {
  kKeyDevname = 0,
  kKeyDbtype = 1,
  kKeyBackupId = 2,
  kKeyPrevBackupId = 3,
  kKeyCreator = 4,
  kKeyTotalTapes = 5,
  kKeyType = 6,
  kKeyMethod = 7,
  kKeyLocation = 8,
  kKeyBlocksize = 9,
  kKeyReqfreekb = 10,
  kKeyAttended = 11,
  kKeyCapacity = 12,
  kKeyStacker = 13,
};

struct KeyEntry {
  KeyId id;
  const char *name;
};

// In the order the keys are searched.
constexpr KeyEntry kKeys[] = {
    {kKeyDevname, "devname"},     {kKeyDbtype, "dbtype"},
    {kKeyBackupId, "backup_id"},  {kKeyPrevBackupId, "prev_backup_id"},
    {kKeyCreator, "creator"},     {kKeyTotalTapes, "total_tapes"},
    {kKeyType, "type"},           {kKeyMethod, "method"},
    {kKeyLocation, "location"},   {kKeyBlocksize, "blocksize"},
    {kKeyReqfreekb, "reqfreekb"}, {kKeyCapacity, "capacity"},
    {kKeyStacker, "stacker"},     {kKeyAttended, "attended"},
};

const char *const kDbtypeCodes[] = {"ZDBn", "ZDBX", "Unkn"};
const char *const kTypeCodes[] = {"Full", "Incr", "InSF", "DBFO"};
const char *const kMethodCodes[] = {"Imag", "Arch", "Othr"};

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
  }
  return *a == '\0' && *b == '\0';
}

// Stores `value` in a text field, the rest of the field zeroed; false when
// it does not fit with its terminator.
template <size_t N>
bool CopyField(char (&field)[N], const std::string &value) {
  if (value.size() >= N) return false;
  std::memset(field, 0, N);
  std::memcpy(field, value.data(), value.size());
  return true;
}

// What the parse has seen so far of the pairs that decide acceptance.
struct ParseState {
  bool devname_seen = false;
  bool dbtype_seen = false;
  bool capacity_seen = false;
};

// Applies one complete pair; false rejects the string.
bool ApplyPair(StripeHandle *h, const std::string &key,
               const std::string &value, ParseState *state) {
  const KeyEntry *entry = nullptr;
  for (const KeyEntry &candidate : kKeys) {
    if (EqualIgnoringCase(key.c_str(), candidate.name)) {
      entry = &candidate;
      break;
    }
  }
  if (entry == nullptr) return false;

  switch (entry->id) {
    case kKeyDevname:
      if (!CopyField(h->devname, value)) return false;
      state->devname_seen = true;
      return NormalizeDevicePath(h->devname, sizeof h->devname) == 1;
    case kKeyDbtype:
      // Codes are checked before they are stored, so an invalid code never
      // reaches the handle.
      if (!MatchCode(value.c_str(), kDbtypeCodes, 3)) return false;
      if (!CopyField(h->dbtype, value)) return false;
      state->dbtype_seen = true;
      return true;
    case kKeyType:
      return MatchCode(value.c_str(), kTypeCodes, 4) &&
             CopyField(h->type, value);
    case kKeyMethod:
      return MatchCode(value.c_str(), kMethodCodes, 3) &&
             CopyField(h->method, value);
    case kKeyCreator:
      return CopyField(h->creator, value);
    case kKeyLocation:
      return CopyField(h->location, value);
    case kKeyBackupId:
      h->backup_id = ParseDecimalInt(value);
      return true;
    case kKeyPrevBackupId:
      h->prev_backup_id = ParseDecimalInt(value);
      return true;
    case kKeyTotalTapes:
      h->total_tapes = ParseDecimalInt(value);
      return true;
    case kKeyBlocksize:
      // Range-checked once all pairs are in: a later pair may replace it.
      h->blocksize = ParseDecimalInt(value);
      return true;
    case kKeyReqfreekb:
      h->reqfreekb = static_cast<uint32_t>(ParseDecimalInt(value));
      return true;
    case kKeyAttended:
      h->attended = ParseDecimalInt(value);
      return true;
    case kKeyCapacity:
      h->capacity = ApplyCapacityRule(h, ParseDecimalInt(value));
      state->capacity_seen = true;
      return true;
    case kKeyStacker:
      h->stacker = ParseDecimalInt(value);
      h->nvols = h->stacker;
      return true;
  }
  return false;
}

}  // namespace

int32_t ParseArchdev(StripeHandle *h, const char *text) {
  if (h == nullptr || text == nullptr) return -1;
  ParseState state;
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
      if (key.size() == kMaxKeyLength) return -1;
      key.push_back(c);
      continue;
    }
    bool complete = false;
    if (c == ';') {
      complete = true;
    } else {
      if (value.size() == kMaxValueLength) return -1;
      value.push_back(c);
      complete = p[1] == '\0';
    }
    if (complete) {
      if (!ApplyPair(h, key, value, &state)) return -1;
      key.clear();
      value.clear();
      in_value = false;
    }
  }
  // A key still being collected, or a key whose "=" ends the string, is
  // dropped without effect.

  if (!state.dbtype_seen || !state.devname_seen) return -1;
  // A tape stripe's block buffer is sized from blocksize, and a block must
  // be able to hold the end-of-volume record.  A disk stripe never uses the
  // block size, so whatever the key says there is no reason to refuse it.
  if (IsTapeName(h->devname) &&
      (h->blocksize < kMinBlockSize || h->blocksize > kMaxBlockSize))
    return -1;
  if (!state.capacity_seen) {
    h->capacity = kDefaultCapacity;
    if (Traces(h, kTraceVolume)) {
      TraceLine(h, "Stripe %d capacity defaulting to %" PRId64 "\n",
                static_cast<int>(h->stripe),
                static_cast<int64_t>(h->capacity));
    }
  }
  return 0;
}

int32_t NormalizeDevicePath(char *path, size_t size) {
  if (path == nullptr || size == 0) return 0;
  const std::string name(path, strnlen(path, size));
  const PathStyle style = Os().path_style();
  std::string cwd;
  if (NeedsCurrentDirectory(name, style) && !Os().GetCurrentDirectory(&cwd)) {
    return 0;
  }
  const std::string normalized = NormalizeName(name, cwd, style);
  if (normalized.size() > kMaxDevnameLength || normalized.size() >= size) {
    return 0;
  }
  std::memcpy(path, normalized.c_str(), normalized.size() + 1);
  return 1;
}

int32_t MatchCode(const char *text, const char *const *codes, int32_t count) {
  if (text == nullptr || codes == nullptr) return 0;
  for (int32_t i = 0; i < count; ++i) {
    if (EqualIgnoringCase(text, codes[i])) return 1;
  }
  return 0;
}

uint64_t ApplyCapacityRule(StripeHandle *h, int32_t kilobytes) {
  // Negative values are huge as unsigned numbers and inform nobody.
  if (static_cast<uint32_t>(kilobytes) < kSmallCapacityKb) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(kilobytes));
    PostInfo(h, kMsgSmallCapacity, {text});
  }
  int32_t kb = kilobytes < kMinCapacityKb ? kMinCapacityKb : kilobytes;
  kb -= kb % 64;
  const uint64_t bytes = static_cast<uint64_t>(kb) * 1024u;
  if (Traces(h, kTraceVolume)) {
    TraceLine(h, "Stripe %d capacity initialized to %" PRId64 "\n",
              static_cast<int>(h->stripe), static_cast<int64_t>(bytes));
  }
  return bytes;
}

}  // namespace kor
