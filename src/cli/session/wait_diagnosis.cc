// Finding out what the library waits for.
#include "cli/session/wait_diagnosis.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "cli/options/device_list.h"
#include "cli/format/volume_locator.h"
#include "rules/tape_name_rules.h"
#include "rules/vtape_state_format.h"

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

// A virtual drive's state file (rules/vtape_state_format.h): the loaded
// cartridge and the write-protected ones.
bool ReadVtapeState(const std::string &drive, uint32_t *loaded,
                    std::vector<uint32_t> *protected_list) {
  std::ifstream in(drive + "/" + kVtapeStateFile);
  if (!in) return false;
  std::string line;
  *loaded = 0;
  while (std::getline(in, line)) {
    std::string key, value;
    if (SplitVtapeStateLine(line, &key, &value) != VtapeLine::kPair) continue;
    if (key == kVtapeKeyLoaded) {
      *loaded = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (key == kVtapeKeyProtected) {
      std::stringstream list(value);
      std::string item;
      while (std::getline(list, item, kVtapeListSeparator)) {
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

std::string TapeDeviceDirectory() {
  const char *dir = std::getenv("KOR_DEVICE_DIR");
  return dir != nullptr && *dir ? dir : "/dev";
}

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
  const std::string name = TapeEntryName(devname);
  const std::string shown = kTapePrefix + name;
  // As the library: a drive is one name inside the device directory, and
  // a name that would lead out of it is refused, never looked up there.
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of("/\\") != std::string::npos) {
    return shown + " is no tape drive name: a drive is one name in " +
           device_dir + ", without '/', '\\' or \"..\"";
  }
  std::string path = device_dir + "/" + name;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && !LinuxTapeName(name).empty()) {
    path = device_dir + "/" + LinuxTapeName(name);
  }
  if (stat(path.c_str(), &st) != 0) {
    const std::string looked_for =
        LinuxTapeName(name).empty()
            ? device_dir + "/" + name + " does not exist"
            : "neither " + device_dir + "/" + name + " nor " + path +
                  " exists";
    return "no tape drive " + shown + " in " + device_dir + ": " +
           looked_for +
           " (a typing error? set KOR_DEVICE_DIR to the directory of "
           "virtual drives, or create one with 'korbr vtape create')";
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

bool TapeDriveAbsent(const std::string &devstring) {
  const std::string devname = DevnameOf(devstring);
  if (!IsTapeDevname(devname)) return false;
  const std::string name = TapeEntryName(devname);
  const std::string dir = TapeDeviceDirectory();
  struct stat st;
  return stat((dir + "/" + name).c_str(), &st) != 0 &&
         (LinuxTapeName(name).empty() ||
          stat((dir + "/" + LinuxTapeName(name)).c_str(), &st) != 0);
}

std::string DiagnoseWait(const std::string &devstring, uint32_t wanted_volume,
                         bool writing) {
  const std::string devname = DevnameOf(devstring);
  if (IsTapeDevname(devname)) {
    return DiagnoseTapeWait(devname, TapeDeviceDirectory(), wanted_volume,
                            writing);
  }
  if (!writing) return "";
  const std::string value = DeviceStringValue(devstring, "reqfreekb");
  const uint64_t required =
      value.empty() ? 8 : std::strtoull(value.c_str(), nullptr, 10);
  return DiagnoseDiskWait(devname, required);
}

}  // namespace cli
}  // namespace kor
