#include "os/path_rules.h"

namespace kor {
namespace {

// The Windows rule shared by both styles: a leading backslash (a device,
// a UNC or a drive-rooted name) or a drive letter keeps the name as it is.
bool IsWindowsAbsolute(const std::string &name) {
  return (!name.empty() && name[0] == '\\') ||
         (name.size() >= 2 && name[1] == ':');
}

char Separator(PathStyle style) {
  return style == PathStyle::kWindows ? '\\' : '/';
}

}  // namespace

bool NeedsCurrentDirectory(const std::string &name, PathStyle style) {
  if (IsWindowsAbsolute(name) || IsObjectStoreName(name)) return false;
  if (style == PathStyle::kPosix && !name.empty() && name[0] == '/') {
    return false;
  }
  return true;
}

std::string NormalizeName(const std::string &name, const std::string &cwd,
                          PathStyle style) {
  const std::string reduced = ReduceTapePrefix(name);
  if (reduced != name) return reduced;
  if (!NeedsCurrentDirectory(name, style)) return name;
  // Windows joins blindly: a drive root "c:\" gives "c:\\name", which is
  // what the platform's own code gives and the file system accepts.  On
  // POSIX only the root ends in '/', and "//name" may mean something else
  // to some systems, so the root is not doubled there.
  if (style == PathStyle::kPosix && !cwd.empty() && cwd.back() == '/') {
    return cwd + name;
  }
  return cwd + Separator(style) + name;
}

bool IsObjectStoreName(const std::string &name) {
  return name.size() >= 5 && (name[0] == 's' || name[0] == 'S') &&
         name.compare(1, 4, "3://") == 0;
}

std::string VolumeFileName(const std::string &prefix, int32_t volume) {
  return prefix + "." + std::to_string(volume);
}

std::string FreeSpaceDirectory(const std::string &prefix, PathStyle style) {
  const char separator = IsObjectStoreName(prefix) ? '/' : Separator(style);
  const size_t last = prefix.rfind(separator);
  if (last == std::string::npos) {
    // "D:name" lives on drive D:; POSIX has no drives, so any other name
    // without a separator is in the current directory.
    if (style == PathStyle::kWindows && prefix.size() >= 2 &&
        prefix[1] == ':') {
      return prefix.substr(0, 2);
    }
    return ".";
  }
  // Cutting "\name" or "/name" at its only separator would leave nothing;
  // the root of the current drive (or of the file system) is meant.
  if (last == 0) return std::string(1, separator);
  return prefix.substr(0, last);
}

}  // namespace kor
