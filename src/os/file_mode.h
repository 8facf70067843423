// Who may read the files that hold backup data: volumes, virtual tape
// cartridges and their state, korbr's restore and trace files.
//
// A backup holds every row of a database, so these files are created for
// their owner alone (0600) whatever the umask.  A site whose backup
// operators share a group widens that with KOR_VOLUME_MODE, an octal mode
// that keeps the owner's read and write and adds at most the group's
// (0600, 0620, 0640 or 0660); any other value is refused rather than
// guessed at, and nothing is ever opened to other users.
//
// Header-only: the library's POSIX layer and korbr apply the same rule.
// Windows leaves these files to the directory's inherited ACL.
#ifndef KORBR_OS_FILE_MODE_H_
#define KORBR_OS_FILE_MODE_H_

#include <cstdint>
#include <string>

namespace kor {

constexpr const char *kFileModeVariable = "KOR_VOLUME_MODE";
constexpr uint32_t kDefaultBackupFileMode = 0600;
// The bits a backup file must have (owner read and write) and the ones it
// may have (the group's read and write besides).
constexpr uint32_t kRequiredFileModeBits = 0600;
constexpr uint32_t kAllowedFileModeBits = 0660;

// What a refused value is told.
constexpr const char *kFileModeRule =
    "KOR_VOLUME_MODE must be an octal mode from 0600 to 0660 (owner read "
    "and write, at most the group's besides)";

// The mode `text` asks for: octal digits (a leading 0 is optional).
// False for anything else, including an empty text.
inline bool ParseBackupFileMode(const std::string &text, uint32_t *mode) {
  if (text.empty() || text.size() > 6) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return false;
    value = value * 8 + static_cast<uint32_t>(c - '0');
  }
  if ((value & kRequiredFileModeBits) != kRequiredFileModeBits) return false;
  if ((value & ~kAllowedFileModeBits) != 0) return false;
  *mode = value;
  return true;
}

}  // namespace kor

#endif  // KORBR_OS_FILE_MODE_H_
