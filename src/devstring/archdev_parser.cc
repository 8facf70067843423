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

constexpr size_t kMaxDevnameLength = sizeof(StripeHandle::devname) - 1;

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
  const DeviceKeyRule *entry = FindDeviceKey(key);
  if (entry == nullptr) return false;

  switch (entry->id) {
    case DeviceKey::kDevname:
      if (!CopyField(h->devname, value)) return false;
      state->devname_seen = true;
      return NormalizeDevicePath(h->devname, sizeof h->devname) == 1;
    case DeviceKey::kDbtype:
      // Codes are checked before they are stored, so an invalid code never
      // reaches the handle.
      if (!IsOneOfCodes(value, kDbtypeList)) return false;
      if (!CopyField(h->dbtype, value)) return false;
      state->dbtype_seen = true;
      return true;
    case DeviceKey::kType:
      return IsOneOfCodes(value, kTypeList) &&
             CopyField(h->type, value);
    case DeviceKey::kMethod:
      return IsOneOfCodes(value, kMethodList) &&
             CopyField(h->method, value);
    case DeviceKey::kCreator:
      return CopyField(h->creator, value);
    case DeviceKey::kLocation:
      return CopyField(h->location, value);
    case DeviceKey::kBackupId:
      h->backup_id = ParseDecimalInt(value);
      return true;
    case DeviceKey::kPrevBackupId:
      h->prev_backup_id = ParseDecimalInt(value);
      return true;
    case DeviceKey::kTotalTapes:
      h->total_tapes = ParseDecimalInt(value);
      return true;
    case DeviceKey::kBlocksize:
      // Range-checked once all pairs are in: a later pair may replace it.
      h->blocksize = ParseDecimalInt(value);
      return true;
    case DeviceKey::kReqfreekb:
      h->reqfreekb = static_cast<uint32_t>(ParseDecimalInt(value));
      return true;
    case DeviceKey::kAttended:
      h->attended = ParseDecimalInt(value);
      return true;
    case DeviceKey::kCapacity:
      h->capacity = ApplyCapacityRule(h, ParseDecimalInt(value));
      state->capacity_seen = true;
      return true;
    case DeviceKey::kStacker:
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
  const DeviceStringWalk walk =
      WalkDeviceString(text, [&](const std::string &key,
                                 const std::string &value) {
        return ApplyPair(h, key, value, &state);
      });
  // Text after the last complete pair (walk.rest) is dropped without
  // effect.
  if (walk.end != DeviceStringEnd::kWhole) return -1;
  if (!state.dbtype_seen || !state.devname_seen) return -1;
  // A tape stripe's block buffer is sized from blocksize, and a block must
  // be able to hold the end-of-volume record.  A disk stripe never uses the
  // block size, so whatever the key says there is no reason to refuse it.
  if (IsTapeName(h->devname) && !TapeBlockSizeFits(h->blocksize)) return -1;
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
  if (IsSmallCapacityKb(kilobytes)) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(kilobytes));
    PostInfo(h, kMsgSmallCapacity, {text});
  }
  const uint64_t bytes =
      static_cast<uint64_t>(CapacityKbKept(kilobytes)) * 1024u;
  if (Traces(h, kTraceVolume)) {
    TraceLine(h, "Stripe %d capacity initialized to %" PRId64 "\n",
              static_cast<int>(h->stripe), static_cast<int64_t>(bytes));
  }
  return bytes;
}

}  // namespace kor
