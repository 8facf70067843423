// Device strings per stripe.
#include "cli/options/device_list.h"

#include <set>

#include "rules/device_string_rules.h"

namespace kor {
namespace cli {

std::string ExpandStripe(const std::string &text, uint32_t stripe) {
  const std::string number = std::to_string(stripe);
  const std::string placeholder = kStripePlaceholder;
  std::string out;
  size_t at = 0;
  for (;;) {
    const size_t found = text.find(placeholder, at);
    if (found == std::string::npos) break;
    out.append(text, at, found - at);
    out += number;
    at = found + placeholder.size();
  }
  out.append(text, at, std::string::npos);
  return out;
}

bool HasStripePlaceholder(const std::string &text) {
  return text.find(kStripePlaceholder) != std::string::npos;
}

bool ExpandDevices(const std::vector<std::string> &devices, uint32_t stripes,
                   std::vector<std::string> *expanded, std::string *error) {
  expanded->clear();
  if (devices.empty()) {
    *error = "--device is required";
    return false;
  }
  if (devices.size() > 32) {
    *error = "at most 32 stripes: " + std::to_string(devices.size()) +
             " --device options were given";
    return false;
  }
  if (devices.size() > 1) {
    if (stripes != 0 && stripes != devices.size()) {
      *error = "--stripes " + std::to_string(stripes) + " disagrees with the " +
               std::to_string(devices.size()) + " --device options given";
      return false;
    }
    for (size_t s = 0; s < devices.size(); ++s) {
      expanded->push_back(ExpandStripe(devices[s], static_cast<uint32_t>(s)));
    }
  } else {
    const uint32_t count = stripes == 0 ? 1 : stripes;
    if (count > 1 && !HasStripePlaceholder(devices[0])) {
      *error = "with --stripes " + std::to_string(count) +
               " the device string must contain {stripe}, or give --device "
               "once per stripe";
      return false;
    }
    for (uint32_t s = 0; s < count; ++s) {
      expanded->push_back(ExpandStripe(devices[0], s));
    }
  }
  std::set<std::string> seen;
  for (size_t s = 0; s < expanded->size(); ++s) {
    if (!seen.insert((*expanded)[s]).second) {
      *error = "stripe " + std::to_string(s) +
               " has the same device string as an earlier stripe";
      return false;
    }
  }
  return true;
}

std::string DevnameOf(const std::string &devstring) {
  return DeviceStringValue(devstring, "devname");
}

std::string DeviceStringValue(const std::string &devstring,
                              const std::string &wanted) {
  // The library's own walk: a key given twice takes its last value.
  std::string found;
  WalkDeviceString(devstring.c_str(), [&](const std::string &key,
                                          const std::string &value) {
    if (EqualIgnoringCase(key, wanted.c_str())) found = value;
    return true;
  });
  return found;
}

}  // namespace cli
}  // namespace kor
