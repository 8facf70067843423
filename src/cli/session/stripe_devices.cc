// Open parameters: the stripes' devices as the library's OpenParams.
#include "cli/session/stripe_devices.h"

#include <algorithm>
#include <cstring>

#include "cli/options/device_list.h"
#include "rules/tape_name_rules.h"

namespace kor {
namespace cli {

StripeDevices::StripeDevices() { std::memset(&params_, 0, sizeof params_); }

void StripeDevices::Set(const std::vector<std::string> &devices,
                        const std::string &dbname) {
  std::lock_guard<std::mutex> lock(mutex_);
  devices_ = devices;
  devnames_.clear();
  for (const std::string &d : devices_) {
    devnames_.push_back(ReduceTapePrefix(DevnameOf(d)));
  }
  std::memset(params_.dbname, 0, sizeof params_.dbname);
  std::memcpy(params_.dbname, dbname.data(),
              std::min(dbname.size(), sizeof params_.dbname));
  for (size_t s = 0; s < KOR_MAX_STRIPES; ++s) {
    params_.archdev[s] = s < devices_.size() ? devices_[s].c_str() : nullptr;
  }
}

std::string StripeDevices::DeviceOf(uint32_t stripe) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stripe < devices_.size() ? devices_[stripe] : std::string();
}

int StripeDevices::StripeOf(const std::string &device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string reduced = ReduceTapePrefix(device);
  for (size_t s = 0; s < devnames_.size(); ++s) {
    const std::string &name = devnames_[s];
    if (name.empty()) continue;
    if (reduced == name) return static_cast<int>(s);
    // A relative devname arrives with the current directory in front.
    if (reduced.size() > name.size() &&
        reduced.compare(reduced.size() - name.size(), name.size(), name) == 0) {
      const char before = reduced[reduced.size() - name.size() - 1];
      if (before == '/' || before == '\\') return static_cast<int>(s);
    }
  }
  return -1;
}

}  // namespace cli
}  // namespace kor
