// How a device name says "tape drive", shared by the library (which opens
// the drive) and korbr (which explains a wait for one).
//
//   "\\.\NAME"        a tape drive; NAME is one entry of the device
//                     directory (KOR_DEVICE_DIR, else /dev)
//   "\\\\.\\NAME"     the same typed with every backslash doubled; it is
//                     reduced to "\\.\NAME" before anything else
//   TAPE<n>           (any case) where the directory has no such entry,
//                     the Linux drive nst<n> is used
//
// Header only and including nothing of ours.
#ifndef KORBR_RULES_TAPE_NAME_RULES_H_
#define KORBR_RULES_TAPE_NAME_RULES_H_

#include <cstddef>
#include <string>

namespace kor {

constexpr char kTapePrefix[] = "\\\\.\\";
constexpr size_t kTapePrefixLength = sizeof kTapePrefix - 1;
constexpr char kDoubledTapePrefix[] = "\\\\\\\\.\\\\";
constexpr size_t kDoubledTapePrefixLength = sizeof kDoubledTapePrefix - 1;

// `name` with a doubled prefix reduced to the single one; any other name
// as it is.
inline std::string ReduceTapePrefix(const std::string &name) {
  if (name.compare(0, kDoubledTapePrefixLength, kDoubledTapePrefix) == 0)
    return kTapePrefix + name.substr(kDoubledTapePrefixLength);
  return name;
}

// True when a normalised name denotes a tape stripe: it begins with the
// three characters "\\." (two backslashes and a full stop).  This decides
// the stripe's media and its block-size rule.
inline bool IsTapeName(const std::string &normalized) {
  return normalized.compare(0, 3, kTapePrefix, 3) == 0;
}

// True when `name` begins with the whole prefix "\\.\", so that it can
// name an entry of the device directory.
inline bool HasTapePrefix(const std::string &name) {
  return name.compare(0, kTapePrefixLength, kTapePrefix) == 0;
}

// The device-directory entry a name asks for: the name after its (reduced)
// prefix; a name without the prefix as it is.
inline std::string TapeEntryName(const std::string &name) {
  const std::string reduced = ReduceTapePrefix(name);
  return HasTapePrefix(reduced) ? reduced.substr(kTapePrefixLength) : reduced;
}

// "nst<n>" when `entry` is TAPE<n> (any case, n decimal digits as
// written), else "".
inline std::string LinuxTapeName(const std::string &entry) {
  if (entry.size() < 5) return "";
  static const char kTape[] = "tape";
  for (size_t i = 0; i < 4; ++i) {
    const char c = entry[i];
    const char lower =
        (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kTape[i]) return "";
  }
  for (size_t i = 4; i < entry.size(); ++i) {
    if (entry[i] < '0' || entry[i] > '9') return "";
  }
  return "nst" + entry.substr(4);
}

}  // namespace kor

#endif  // KORBR_RULES_TAPE_NAME_RULES_H_
