// Checking the library's environment variables.
#include "cli/options/environment_check.h"

#include <cstdint>

#include "cli/options/arg_parser.h"

namespace kor {
namespace cli {
namespace {

// Each stripe allocates a table of KORIOPROF records when it opens: a
// bound keeps a typo from asking for gigabytes per stripe.
constexpr uint64_t kMaxIoProfileSamples = 1000000;
constexpr uint64_t kMaxS3Retries = 20;

bool Refuse(std::string *why, const char *name, const std::string &value,
            const char *rule) {
  *why = std::string(name) + "='" + value + "' is not " + rule;
  return false;
}

}  // namespace

bool CheckLibraryEnvironment(
    const std::function<const char *(const char *)> &lookup, std::string *why) {
  uint64_t ignored = 0;
  if (const char *mask = lookup("KORDBG")) {
    const std::string value = mask;
    if (value != "-1" && !ParseCount(value, 0, 255, &ignored)) {
      return Refuse(why, "KORDBG", value,
                    "a trace mask (decimal 0 to 255, or -1 for every bit)");
    }
  }
  if (const char *samples = lookup("KORIOPROF")) {
    if (!ParseCount(samples, 0, kMaxIoProfileSamples, &ignored)) {
      return Refuse(why, "KORIOPROF", samples,
                    "a number of transfers per statistics line (decimal 0 to "
                    "1000000; 0 turns profiling off)");
    }
  }
  if (const char *retries = lookup("KOR_S3_RETRIES")) {
    if (*retries != '\0' && !ParseCount(retries, 0, kMaxS3Retries, &ignored)) {
      return Refuse(why, "KOR_S3_RETRIES", retries,
                    "a number of repeats from 0 to 20");
    }
  }
  return true;
}

}  // namespace cli
}  // namespace kor
