// Message texts, one table row per number.  A row gives the text for the
// full set of arguments and, where the library also sends the number with
// fewer arguments, the text for those.
#include "cli/session/message_texts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/format/volume_locator.h"
#include "rules/message_numbers.h"

namespace kor {
namespace cli {
namespace {

// The number of text arguments of each form is the library's own
// (rules/message_numbers.h).
struct MessageRow {
  int32_t number;
  const char *full;     // as many "%s" as the message's arguments
  const char *one_arg;  // one "%s", or null
  const char *no_args;  // no conversion, or null
};

// Every number of the library's catalog.  6920 and 6932 arrive in several
// forms: with a reason or a system text, or with the device alone.
const MessageRow kRows[] = {
    {kErrBadDeviceString,
     "the archive device string was refused: it needs devname= and dbtype= "
     "(ZDBn, ZDBX or Unkn), known keys only, keys of at most 15 and values "
     "of at most 255 characters, and valid type/method codes",
     nullptr, nullptr},
    {kErrVolume, "cannot use %s: %s",
     "cannot read the header labels of the volume on %s",
     "a volume could not be opened, or its labels are wrong"},
    {kErrClose, "closing %s failed: %s", "closing %s failed", nullptr},
    {kErrOpenMode, "a volume was to be opened in a mode other than read or write",
     nullptr, nullptr},
    {kErrBlockSizeRange, "the block size for %s lies outside what the tape drive accepts",
     nullptr, nullptr},
    {kErrDriveParams, "cannot read the tape drive parameters of %s: %s", nullptr,
     nullptr},
    {kErrMediaParams, "cannot read the tape media parameters of %s: %s", nullptr,
     nullptr},
    {kErrSetBlockSize, "cannot set the tape block size of %s: %s", nullptr, nullptr},
    {kErrFreeSpace, "cannot determine the free space of %s: %s", nullptr, nullptr},
    {kErrCloseMode, "a stripe was closed with an invalid close mode", nullptr,
     nullptr},
    {kErrTapemark,
     "writing the closing tape marks on %s, or unloading the tape, failed: %s",
     nullptr, nullptr},
    {kErrInterrupted, "%s: given up: %s",
     "cannot tell whether the tape in %s is write-protected", nullptr},
    {kErrWrite, "writing to %s failed: %s", nullptr, nullptr},
    {kErrRead, "reading from %s failed: %s", nullptr, nullptr},
    {kErrNoMoreVolumes,
     "%s needs another volume and none can be had (the stripe is unattended, "
     "or the autoloader has no volumes left)",
     nullptr, nullptr},
    {kErrDiskFull,
     "%s ran out of disk space and the wait for free space was given up",
     nullptr, nullptr},
    {kErrStackerEmpty, "no autoloader volumes are left for %s", nullptr, nullptr},
    {kErrPrefixIsDirectory,
     "the device name %s is an existing directory; devname must be a "
     "file-name prefix such as DIRECTORY/name",
     nullptr, nullptr},
    {kMsgMountVolume, "mount volume %s on %s", nullptr, nullptr},
    {kMsgBackupVolume, "now writing volume %s on %s", nullptr, nullptr},
    {kMsgRestoreVolume, "now reading volume %s on %s", nullptr, nullptr},
    {kMsgSmallCapacity,
     "capacity=%s (KB) is below 1048576 KB: every volume holds at most that "
     "much",
     nullptr, nullptr},
};

constexpr size_t kMaxArgumentBytes = 512;

const MessageRow *FindRow(int32_t number) {
  for (const MessageRow &row : kRows) {
    if (row.number == number) return &row;
  }
  return nullptr;
}

// The argument as it will be shown: trailing blanks and line ends (system
// texts often end in one) removed, control characters made visible, cut
// to a sane length.
std::string CleanArgument(const char *text) {
  std::string out(text, strnlen(text, kMaxArgumentBytes));
  while (!out.empty() && (out.back() == ' ' || out.back() == '\r' ||
                          out.back() == '\n' || out.back() == '\t')) {
    out.pop_back();
  }
  for (char &c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return out;
}

// Copies `words` into `text`, cutting it to the buffer.
void Put(char *text, size_t size, const std::string &words) {
  const size_t n = words.size() < size - 1 ? words.size() : size - 1;
  std::memcpy(text, words.data(), n);
  text[n] = '\0';
}

// Library messages whose system text has one cause korbr knows better:
// the words say that cause and what to do instead of the bare system text.
void ReplaceWithKnownCause(int32_t number, int present,
                           const std::string given[2], char *words,
                           size_t size) {
  // A volume another process holds (a second backup onto the same prefix)
  // arrives as the system's text for a lock that is taken.
  if (number == kErrVolume && present == 2 &&
      (given[1] == std::strerror(EAGAIN) ||
       given[1] == std::strerror(EWOULDBLOCK))) {
    std::snprintf(words, size,
                  "cannot use %s: it is in use by another backup or restore",
                  given[0].c_str());
  }
  // A disk volume file that is not there (a restore): what to do about it.
  if (number == kErrVolume && present == 2 &&
      given[1] == std::strerror(ENOENT) && !IsTapeDevname(given[0])) {
    std::snprintf(words, size,
                  "cannot use %s: the volume file is missing: every volume "
                  "of every stripe is needed; put it back ('korbr labels "
                  "FILE' shows which volume a file holds)",
                  given[0].c_str());
  }
  // The free space is asked of the volumes' directory: when that does not
  // exist, that is what the operator must mend, not the free space.
  if (number == kErrFreeSpace && present == 2 &&
      given[1] == std::strerror(ENOENT)) {
    const size_t slash = given[0].rfind('/');
    const std::string directory =
        slash == std::string::npos ? "."
                                   : given[0].substr(0, slash == 0 ? 1 : slash);
    std::snprintf(words, size,
                  "directory %s does not exist (the volume files of %s go "
                  "there): create it or correct devname=",
                  directory.c_str(), given[0].c_str());
  }
}

}  // namespace

void FormatMessageText(int32_t number, const KorMessageArg *args, char *text,
                       size_t size) {
  if (text == nullptr || size == 0) return;
  const MessageRow *row = FindRow(number);
  // The arguments of the full form; an unknown number shows up to two.
  const int wanted = row != nullptr ? LibraryMessageArguments(number) : 2;
  std::string given[2];
  int present = 0;
  for (int i = 0; i < wanted && args != nullptr; ++i) {
    const char *arg = reinterpret_cast<const char *>(args[i]);
    if (arg == nullptr) break;
    given[i] = CleanArgument(arg);
    ++present;
  }

  // Every format below is one of this file's constants with exactly as many
  // "%s" as arguments are passed.
  char words[2 * kMaxArgumentBytes + 512];
  if (row == nullptr) {
    if (present == 0) {
      std::snprintf(words, sizeof words, "unknown message");
    } else if (present == 1) {
      std::snprintf(words, sizeof words, "unknown message: %s",
                    given[0].c_str());
    } else {
      std::snprintf(words, sizeof words, "unknown message: %s: %s",
                    given[0].c_str(), given[1].c_str());
    }
  } else if (present < wanted && present == 0 && row->no_args != nullptr) {
    std::snprintf(words, sizeof words, "%s", row->no_args);
  } else if (present < wanted && present == 1 && row->one_arg != nullptr) {
    std::snprintf(words, sizeof words, row->one_arg, given[0].c_str());
  } else {
    for (int i = present; i < wanted; ++i) given[i] = "?";
    switch (wanted) {
      case 0:
        std::snprintf(words, sizeof words, "%s", row->full);
        break;
      case 1:
        std::snprintf(words, sizeof words, row->full, given[0].c_str());
        break;
      default:
        std::snprintf(words, sizeof words, row->full, given[0].c_str(),
                      given[1].c_str());
        break;
    }
  }
  ReplaceWithKnownCause(number, present, given, words, sizeof words);
  char number_text[32];
  std::snprintf(number_text, sizeof number_text, " (korbr %d)",
                static_cast<int>(number));
  Put(text, size, std::string(words) + number_text);
}

std::string MessageText(int32_t number, const KorMessageArg *args) {
  char text[KOR_MESSAGE_TEXT_SIZE];
  FormatMessageText(number, args, text, sizeof text);
  return text;
}

}  // namespace cli
}  // namespace kor
