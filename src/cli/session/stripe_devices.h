// Open parameters: the stripes' device strings and the database name as
// the library's OpenParams, and which stripe a device named in a message
// belongs to.
//
// Contract: Set() may be called again (a restore learns the stripe count
// from stripe 0); params() points into this record and stays valid until
// the next Set().  All calls are safe from any thread.
#ifndef KORBR_CLI_SESSION_STRIPE_DEVICES_H_
#define KORBR_CLI_SESSION_STRIPE_DEVICES_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "korbr/korbr.h"

namespace kor {
namespace cli {

class StripeDevices {
 public:
  StripeDevices();
  StripeDevices(const StripeDevices &) = delete;
  StripeDevices &operator=(const StripeDevices &) = delete;

  void Set(const std::vector<std::string> &devices, const std::string &dbname);
  const OpenParams *params() const { return &params_; }
  // The device string of `stripe`, or "" when there is none.
  std::string DeviceOf(uint32_t stripe) const;
  // The stripe whose device name is `device` as a library message gives
  // it (tape prefixes reduced, a relative name with the current directory
  // in front), or -1.
  int StripeOf(const std::string &device) const;

 private:
  mutable std::mutex mutex_;
  OpenParams params_;
  std::vector<std::string> devices_;
  std::vector<std::string> devnames_;
};

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_STRIPE_DEVICES_H_
