// Finding the volume file that holds a byte of a disk stripe.
#include "cli/format/volume_locator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "cli/format/label_decode.h"
#include "rules/tape_name_rules.h"

namespace kor {
namespace cli {

bool IsTapeDevname(const std::string &devname) {
  return HasTapePrefix(ReduceTapePrefix(devname));
}

std::string AbsoluteDevname(const std::string &devname) {
  if (devname.empty() || devname[0] == '/' || IsTapeDevname(devname)) {
    return devname;
  }
  std::vector<char> cwd(4096);
  if (getcwd(cwd.data(), cwd.size()) == nullptr) return devname;
  return std::string(cwd.data()) + "/" + devname;
}

std::string DiskVolumeAt(const std::string &devname, uint64_t offset) {
  if (IsTapeDevname(devname)) return "";
  const std::string prefix = AbsoluteDevname(devname);
  uint64_t start = 0;
  std::string last;  // a read past the end of the data fails in the last
  for (int volume = 1; volume < 10000; ++volume) {
    const std::string path = prefix + "." + std::to_string(volume);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      // Past the data of every volume there is: the last one, unless a
      // volume is missing before the next one that exists.
      const std::string next = prefix + "." + std::to_string(volume + 1);
      return stat(next.c_str(), &st) == 0 ? "" : last;
    }
    last = path;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    // A volume still being written, or cut, may lack its tail labels.
    const uint64_t data =
        size >= kVolumeHeadSize + kVolumeTailSize
            ? size - kVolumeHeadSize - kVolumeTailSize
            : (size > kVolumeHeadSize ? size - kVolumeHeadSize : 0);
    if (offset < start + data) return path;
    start += data;
  }
  return last;
}

std::string VolumeHeldInstead(const std::string &path, int stripe,
                              int volume) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  uint8_t head[kVolumeHeadSize];
  const bool read_whole = pread(fd, head, sizeof head, 0) ==
                          static_cast<ssize_t>(sizeof head);
  close(fd);
  VolumeLabels labels;
  std::string why;
  if (!read_whole || !DecodeVolumeHead(head, sizeof head, &labels, &why) ||
      (labels.stripe == stripe && labels.volume == volume)) {
    return "";
  }
  return "volume " + std::to_string(labels.volume) + " of stripe " +
         std::to_string(labels.stripe);
}

namespace {

// The tail labels of the volume file at `path`, decoded into *labels.
// False when the file cannot be read or does not end with them.  *exists
// tells whether there is a file at all.
bool ReadTailLabels(const std::string &path, VolumeLabels *labels,
                    bool *exists) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  *exists = fd >= 0;
  if (fd < 0) return false;
  struct stat st;
  uint8_t tail[kVolumeTailSize];
  std::string why;
  const bool ok =
      fstat(fd, &st) == 0 &&
      static_cast<uint64_t>(st.st_size) >= kVolumeHeadSize + kVolumeTailSize &&
      pread(fd, tail, sizeof tail,
            st.st_size - static_cast<off_t>(sizeof tail)) ==
          static_cast<ssize_t>(sizeof tail) &&
      DecodeVolumeTail(tail, sizeof tail, labels, &why);
  close(fd);
  return ok;
}

}  // namespace

std::vector<std::string> LeftoverVolumes(const std::string &devname) {
  std::vector<std::string> leftovers;
  if (IsTapeDevname(devname)) return leftovers;
  const std::string prefix = AbsoluteDevname(devname);
  int volume = 1;
  for (; volume < 10000; ++volume) {
    const std::string path = prefix + "." + std::to_string(volume);
    VolumeLabels labels;
    bool exists = false;
    const bool closed = ReadTailLabels(path, &labels, &exists);
    if (!exists) return leftovers;  // no EOF volume: nothing to judge
    if (closed && !labels.end_of_volume) break;
  }
  for (++volume; volume < 10000; ++volume) {
    const std::string path = prefix + "." + std::to_string(volume);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) break;
    leftovers.push_back(path);
  }
  return leftovers;
}

std::string DiskVolumeBeingWritten(const std::string &devname) {
  if (IsTapeDevname(devname)) return "";
  const std::string prefix = AbsoluteDevname(devname);
  for (int volume = 1; volume < 10000; ++volume) {
    const std::string path = prefix + "." + std::to_string(volume);
    VolumeLabels labels;
    bool exists = false;
    if (!ReadTailLabels(path, &labels, &exists)) return exists ? path : "";
  }
  return "";
}

bool VolumeCutShort(const std::string &path) {
  VolumeLabels labels;
  bool exists = false;
  return !ReadTailLabels(path, &labels, &exists) && exists;
}

std::string VolumeDirectory(const std::string &devname) {
  const std::string prefix = AbsoluteDevname(devname);
  const size_t slash = prefix.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : prefix.substr(0, slash);
}

}  // namespace cli
}  // namespace kor
