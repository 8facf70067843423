// korbr --version: what this korbr is, which stream formats it writes and
// reads, and the libraries it was built with, so that an operator can
// tell whether two hosts can restore each other's backups.
#ifndef KORBR_CLI_VERSION_INFO_H_
#define KORBR_CLI_VERSION_INFO_H_

#include <string>

namespace kor {
namespace cli {

// The lines korbr --version prints, each ending in a newline.
std::string VersionText();

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_VERSION_INFO_H_
