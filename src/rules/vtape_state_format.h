// The virtual tape drive's state file, as both its owner (the OS layer's
// virtual drive, which writes and checks it) and korbr (which reads it to
// explain a wait) see it.
//
//   DRIVE/korbr-vtape.state   key=value lines; '#' starts a comment line,
//                             a trailing '\r' is dropped, unknown keys are
//                             ignored; lists are comma-separated
//   DRIVE/korbr-vtape.lock    flock()ed while the state is changed
//
// Header only and including nothing of ours.
#ifndef KORBR_RULES_VTAPE_STATE_FORMAT_H_
#define KORBR_RULES_VTAPE_STATE_FORMAT_H_

#include <cstdint>
#include <string>

namespace kor {

constexpr char kVtapeStateFile[] = "korbr-vtape.state";
constexpr char kVtapeLockFile[] = "korbr-vtape.lock";
constexpr uint32_t kVtapeMaxCartridges = 9999;

// The state's keys.
constexpr char kVtapeKeyCartridges[] = "cartridges";
constexpr char kVtapeKeyCapacity[] = "capacity";
constexpr char kVtapeKeyMinBlock[] = "min_block";
constexpr char kVtapeKeyMaxBlock[] = "max_block";
constexpr char kVtapeKeyMode[] = "mode";
constexpr char kVtapeKeyLoaded[] = "loaded";
constexpr char kVtapeKeyGeneration[] = "generation";
constexpr char kVtapeKeyProtected[] = "protected";
constexpr char kVtapeListSeparator = ',';

enum class VtapeLine { kSkip, kPair, kNoEquals };

// Splits one line of the state: kSkip for a blank or comment line, kPair
// with `key` and `value` set, kNoEquals for a line that is neither.
inline VtapeLine SplitVtapeStateLine(std::string line, std::string *key,
                                     std::string *value) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || line[0] == '#') return VtapeLine::kSkip;
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return VtapeLine::kNoEquals;
  *key = line.substr(0, eq);
  *value = line.substr(eq + 1);
  return VtapeLine::kPair;
}

}  // namespace kor

#endif  // KORBR_RULES_VTAPE_STATE_FORMAT_H_
