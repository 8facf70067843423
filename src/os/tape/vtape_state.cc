// The virtual drive's state as text (virtual_tape.h describes the format),
// checked value by value, and where a drive keeps its files.
#include "os/tape/virtual_tape.h"

#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <vector>


namespace kor {
namespace {

// Parses a decimal number in [low, high]; false for anything else.
bool ParseNumber(const std::string &text, uint64_t low, uint64_t high,
                 uint64_t *value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

// Parses "2,3,..." (cartridges 1 to `cartridges`, possibly empty) into a
// sorted list without repeats.  False for anything else.
bool ParseProtectedList(const std::string &text, uint32_t cartridges,
                        std::vector<uint32_t> *list) {
  size_t start = 0;
  while (start < text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    uint64_t n = 0;
    if (!ParseNumber(text.substr(start, comma - start), 1, cartridges, &n))
      return false;
    list->push_back(static_cast<uint32_t>(n));
    start = comma + 1;
  }
  std::sort(list->begin(), list->end());
  list->erase(std::unique(list->begin(), list->end()), list->end());
  return true;
}

}  // namespace

bool VirtualDriveState::IsProtected(uint32_t cartridge) const {
  return std::binary_search(protected_list.begin(), protected_list.end(),
                            cartridge);
}

std::string FormatVtapeState(const VirtualDriveState &state) {
  std::ostringstream out;
  out << "# korbr virtual tape drive; change it with `korbr vtape`\n";
  out << "cartridges=" << state.cartridges << "\n";
  out << "capacity=" << state.capacity << "\n";
  out << "min_block=" << state.min_block << "\n";
  out << "max_block=" << state.max_block << "\n";
  out << "mode=" << (state.stacker ? "stacker" : "manual") << "\n";
  out << "loaded=" << state.loaded << "\n";
  out << "generation=" << state.generation << "\n";
  out << "protected=";
  for (size_t i = 0; i < state.protected_list.size(); ++i)
    out << (i == 0 ? "" : ",") << state.protected_list[i];
  out << "\n";
  return out.str();
}

bool ParseVtapeState(const std::string &text, VirtualDriveState *state,
                     std::string *why) {
  VirtualDriveState s;
  bool seen_cartridges = false, seen_capacity = false;
  std::string protected_text;
  std::istringstream in(text);
  std::string line;
  int line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      *why = "state line " + std::to_string(line_number) + " has no '='";
      return false;
    }
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    uint64_t n = 0;
    bool ok = true;
    if (key == "cartridges") {
      ok = ParseNumber(value, 1, kVtapeMaxCartridges, &n);
      s.cartridges = static_cast<uint32_t>(n);
      seen_cartridges = true;
    } else if (key == "capacity") {
      ok = ParseNumber(value, 1, UINT64_MAX / 2, &n);
      s.capacity = n;
      seen_capacity = true;
    } else if (key == "min_block") {
      ok = ParseNumber(value, 1, simh::kMaxRecordLength, &n);
      s.min_block = static_cast<uint32_t>(n);
    } else if (key == "max_block") {
      ok = ParseNumber(value, 1, simh::kMaxRecordLength, &n);
      s.max_block = static_cast<uint32_t>(n);
    } else if (key == "mode") {
      ok = value == "manual" || value == "stacker";
      s.stacker = value == "stacker";
    } else if (key == "loaded") {
      ok = ParseNumber(value, 0, kVtapeMaxCartridges, &n);
      s.loaded = static_cast<uint32_t>(n);
    } else if (key == "generation") {
      ok = ParseNumber(value, 0, UINT64_MAX, &n);
      s.generation = n;
    } else if (key == "protected") {
      protected_text = value;
    }
    if (!ok) {
      *why = "bad value for " + key + " in the state: \"" + value + "\"";
      return false;
    }
  }
  if (!seen_cartridges || !seen_capacity) {
    *why = "the state names no cartridges or no capacity";
    return false;
  }
  if (s.min_block > s.max_block) {
    *why = "the state's min_block is above its max_block";
    return false;
  }
  if (s.loaded > s.cartridges) {
    *why = "the state's loaded cartridge does not exist";
    return false;
  }
  if (!ParseProtectedList(protected_text, s.cartridges, &s.protected_list)) {
    *why = "bad protected list in the state: \"" + protected_text + "\"";
    return false;
  }
  *state = s;
  return true;
}

std::string VtapeStatePath(const std::string &drive) {
  return drive + "/" + kVtapeStateFile;
}

std::string CartridgePath(const std::string &drive, uint32_t cartridge) {
  return drive + "/cartridge-" + std::to_string(cartridge) + ".tap";
}

bool IsVirtualDrive(const std::string &drive) {
  struct stat st;
  if (::stat(drive.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return ::stat(VtapeStatePath(drive).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace kor
