// Finding out what the library waits for.
#include "cli/session/wait_diagnosis.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "cli/options/device_list.h"
#include "cli/format/volume_locator.h"

namespace kor {
namespace cli {
namespace {

// The mount point of the file system that holds `path`: the last parent
// on the same device.
std::string MountPointOf(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return path;
  std::string at = path;
  while (at != "/" && !at.empty()) {
    const size_t slash = at.rfind('/');
    const std::string parent = slash == 0 ? "/" : at.substr(0, slash);
    struct stat up;
    if (stat(parent.c_str(), &up) != 0 || up.st_dev != st.st_dev) break;
    at = parent;
  }
  return at;
}

std::string Kb(uint64_t kb) {
  std::ostringstream out;
  if (kb >= 10 * 1024 * 1024) {
    out << kb / (1024 * 1024) << " GiB";
  } else if (kb >= 10 * 1024) {
    out << kb / 1024 << " MiB";
  } else {
    out << kb << " KB";
  }
  return out.str();
}

// "TAPE<n>" (any case): n, else -1.
int TapeNumber(const std::string &name) {
  if (name.size() < 5) return -1;
  std::string head = name.substr(0, 4);
  for (char &c : head) c = static_cast<char>(std::toupper(c));
  if (head != "TAPE") return -1;
  for (size_t i = 4; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
  }
  return std::atoi(name.c_str() + 4);
}

// A virtual drive's state file: key=value lines.
bool ReadVtapeState(const std::string &drive, uint32_t *loaded,
                    std::vector<uint32_t> *protected_list) {
  std::ifstream in(drive + "/korbr-vtape.state");
  if (!in) return false;
  std::string line;
  *loaded = 0;
  while (std::getline(in, line)) {
    if (line.compare(0, 7, "loaded=") == 0) {
      *loaded =
          static_cast<uint32_t>(std::strtoul(line.c_str() + 7, nullptr, 10));
    } else if (line.compare(0, 10, "protected=") == 0) {
      std::stringstream list(line.substr(10));
      std::string item;
      while (std::getline(list, item, ',')) {
        if (!item.empty()) {
          protected_list->push_back(
              static_cast<uint32_t>(std::strtoul(item.c_str(), nullptr, 10)));
        }
      }
    }
  }
  return true;
}

}  // namespace

std::string DiagnoseDiskWait(const std::string &devname,
                             uint64_t required_kb) {
  const std::string directory = VolumeDirectory(devname);
  struct statvfs vfs;
  if (statvfs(directory.c_str(), &vfs) != 0) return "";
  const uint64_t free_kb =
      static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize / 1024;
  if (free_kb > required_kb) return "";
  const std::string volume = DiskVolumeBeingWritten(devname);
  // The same words serve the wait and, once it is given up, the error:
  // they state the cause and promise nothing.
  return "the file system at " + MountPointOf(directory) + " holding " +
         (volume.empty() ? "the volume files of " + AbsoluteDevname(devname)
                         : "volume file " + volume) +
         " is full: " + Kb(free_kb) + " free, more than " + Kb(required_kb) +
         " needed";
}

std::string DiagnoseTapeWait(const std::string &devname,
                             const std::string &device_dir,
                             uint32_t wanted_volume, bool writing) {
  // "\\.\NAME" as written in a device string, or as the library reduces it.
  std::string name = devname;
  for (const char *prefix : {"\\\\\\\\.\\\\", "\\\\.\\"}) {
    const std::string p = prefix;
    if (name.compare(0, p.size(), p) == 0) {
      name = name.substr(p.size());
      break;
    }
  }
  const std::string shown = "\\\\.\\" + name;
  // As the library: a drive is one name inside the device directory, and
  // a name that would lead out of it is refused, never looked up there.
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of("/\\") != std::string::npos) {
    return shown + " is no tape drive name: a drive is one name in " +
           device_dir + ", without '/', '\\' or \"..\"";
  }
  std::string path = device_dir + "/" + name;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && TapeNumber(name) >= 0) {
    path = device_dir + "/nst" + std::to_string(TapeNumber(name));
  }
  if (stat(path.c_str(), &st) != 0) {
    return "no tape drive " + shown + " in " + device_dir +
           " (set KOR_DEVICE_DIR to the directory of virtual drives, or "
           "create one with 'korbr vtape create')";
  }
  const std::string load_hint =
      "korbr vtape load '" + shown + "' " +
      (wanted_volume > 0 ? std::to_string(wanted_volume) : std::string("N"));
  uint32_t loaded = 0;
  std::vector<uint32_t> protected_list;
  if (S_ISDIR(st.st_mode) && ReadVtapeState(path, &loaded, &protected_list)) {
    if (loaded == 0) {
      return (wanted_volume > 0
                  ? "load cartridge " + std::to_string(wanted_volume) +
                        " into " + shown
                  : "no cartridge in " + shown + ": load one") +
             " (" + load_hint + ")";
    }
    for (uint32_t p : protected_list) {
      if (p == loaded && writing) {
        return "cartridge " + std::to_string(loaded) + " in " + shown +
               " is write-protected: unprotect it (korbr vtape protect '" +
               shown + "' " + std::to_string(loaded) + " off) or load another";
      }
    }
    if (wanted_volume > 0) {
      return "load cartridge " + std::to_string(wanted_volume) + " into " +
             shown + " (" + load_hint + ")";
    }
    return "";
  }
  if (wanted_volume > 0) {
    return "mount volume " + std::to_string(wanted_volume) + " on " + shown +
           " (" + path + ")";
  }
  return "tape drive " + shown + " (" + path +
         ") is not ready: load a cartridge" +
         (writing ? " that is not write-protected" : "");
}

std::string DiagnoseWait(const std::string &devstring, uint32_t wanted_volume,
                         bool writing) {
  const std::string devname = DevnameOf(devstring);
  if (IsTapeDevname(devname)) {
    const char *dir = std::getenv("KOR_DEVICE_DIR");
    return DiagnoseTapeWait(devname, dir != nullptr && *dir ? dir : "/dev",
                            wanted_volume, writing);
  }
  if (!writing) return "";
  const std::string value = DeviceStringValue(devstring, "reqfreekb");
  const uint64_t required =
      value.empty() ? 8 : std::strtoull(value.c_str(), nullptr, 10);
  return DiagnoseDiskWait(devname, required);
}

}  // namespace cli
}  // namespace kor
