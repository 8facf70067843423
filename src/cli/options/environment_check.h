// korbr's check of the environment variables the library reads.
//
// The library reads KORDBG and KORIOPROF as leading digits wrapped to 32
// bits, so a mistyped value ("0x40", "64k", "lots") silently becomes
// another one; KOR_S3_RETRIES it refuses only when a stripe opens an object
// in a store, as an open failure.  korbr refuses each before the library
// sees it, naming the variable.
#ifndef KORBR_CLI_ENVIRONMENT_CHECK_H_
#define KORBR_CLI_ENVIRONMENT_CHECK_H_

#include <functional>
#include <string>

namespace kor {
namespace cli {

// True when every variable that is set holds a value its reader takes:
//   KORDBG          a trace mask, decimal 0 to 255, or -1 for every bit
//   KORIOPROF       transfers per statistics line, decimal 0 to 1000000
//   KOR_S3_RETRIES  decimal 0 to 20 (empty counts as unset, as the
//                   object store reads it)
// Otherwise false with one line naming the variable in `why`.  `lookup`
// gives a variable's value, or null when it is not set.
bool CheckLibraryEnvironment(
    const std::function<const char *(const char *)> &lookup, std::string *why);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_ENVIRONMENT_CHECK_H_
