// Managing a virtual drive (the `korbr vtape` commands and the drive's own
// unload): making one, and changing its state under the drive's lock.
#include "os/tape/virtual_tape.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "os/file_mode.h"
#include "os/posix/retry.h"
#include "os/posix_os.h"
#include "os/tape/vtape_files.h"

namespace kor {

using vtape::ErrnoWords;
using vtape::OpenBackupFile;

bool CreateVirtualDrive(const std::string &drive,
                        const VirtualDriveState &state, std::string *why) {
  // The state is checked by the same rules a reader applies.
  VirtualDriveState checked;
  if (!ParseVtapeState(FormatVtapeState(state), &checked, why)) return false;
  uint32_t mode;
  if (!BackupFileMode(&mode)) {
    *why = kFileModeRule;
    return false;
  }
  // The drive's directory admits whom its files admit (the group may list
  // it, and change it when it may write the files), so nobody else can put
  // a name into it.
  mode_t directory_mode = 0700;
  if ((mode & 0040) != 0) directory_mode |= 0050;
  if ((mode & 0020) != 0) directory_mode |= 0030;
  bool made_directory = true;
  if (::mkdir(drive.c_str(), directory_mode) != 0) {
    if (errno != EEXIST) {
      *why = "cannot make " + drive + ": " + ErrnoWords(errno);
      return false;
    }
    made_directory = false;
    struct stat st;
    if (::stat(drive.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *why = drive + " exists and is not a directory";
      return false;
    }
    if (IsVirtualDrive(drive)) {
      *why = drive + " is already a virtual tape drive";
      return false;
    }
  }
  // A failed create takes back what it made, so that it can be tried again.
  std::vector<std::string> made;
  auto undo = [&] {
    for (const std::string &path : made) ::unlink(path.c_str());
    if (made_directory) ::rmdir(drive.c_str());
    return false;
  };
  for (uint32_t c = 1; c <= checked.cartridges; ++c) {
    const std::string path = CartridgePath(drive, c);
    // O_EXCL: a cartridge image already there is somebody's data.
    const int fd =
        OpenBackupFile(path, O_WRONLY | O_CREAT | O_EXCL, "cannot make", why);
    if (fd < 0) return undo();
    ::close(fd);
    made.push_back(path);
  }
  // The state file comes last: its presence makes the directory a drive.
  if (!vtape::ReplaceSmallFile(VtapeStatePath(drive), FormatVtapeState(checked),
                               why))
    return undo();
  return true;
}

bool ReadVirtualDrive(const std::string &drive, VirtualDriveState *state,
                      std::string *why) {
  std::string text;
  if (!vtape::ReadSmallFile(VtapeStatePath(drive), &text)) {
    *why = errno == ENOENT ? drive + " is not a virtual tape drive"
                           : "cannot read " + VtapeStatePath(drive) + ": " +
                                 ErrnoWords(errno);
    return false;
  }
  if (!ParseVtapeState(text, state, why)) {
    *why = VtapeStatePath(drive) + ": " + *why;
    return false;
  }
  return true;
}

bool UpdateVirtualDrive(
    const std::string &drive,
    const std::function<bool(VirtualDriveState *, std::string *)> &change,
    std::string *why) {
  if (!IsVirtualDrive(drive)) {
    *why = drive + " is not a virtual tape drive";
    return false;
  }
  const std::string lock_path = drive + "/" + kVtapeLockFile;
  const int lock =
      OpenBackupFile(lock_path, O_RDWR | O_CREAT, "cannot open", why);
  if (lock < 0) return false;
  // Held only while the state is read, changed and written: never across a
  // call into a host or a wait, so a shell's `korbr vtape load` started
  // from a host callback always gets it.
  if (RetryOnInterrupt([&] { return ::flock(lock, LOCK_EX); }) != 0) {
    *why = "cannot lock " + lock_path + ": " + ErrnoWords(errno);
    ::close(lock);
    return false;
  }
  VirtualDriveState state;
  bool ok = ReadVirtualDrive(drive, &state, why) && change(&state, why) &&
            vtape::ReplaceSmallFile(VtapeStatePath(drive),
                                    FormatVtapeState(state), why);
  ::close(lock);  // releases the flock
  return ok;
}

bool LoadCartridge(const std::string &drive, uint32_t cartridge,
                   std::string *why) {
  return UpdateVirtualDrive(
      drive,
      [cartridge](VirtualDriveState *s, std::string *reason) {
        if (cartridge < 1 || cartridge > s->cartridges) {
          *reason = "no cartridge " + std::to_string(cartridge) +
                    " (the drive has " + std::to_string(s->cartridges) + ")";
          return false;
        }
        s->loaded = cartridge;
        ++s->generation;
        return true;
      },
      why);
}

bool UnloadCartridge(const std::string &drive, std::string *why) {
  return UpdateVirtualDrive(
      drive,
      [](VirtualDriveState *s, std::string *reason) {
        if (s->loaded == 0) {
          *reason = "the drive is empty";
          return false;
        }
        s->loaded = 0;
        ++s->generation;
        return true;
      },
      why);
}

bool SetWriteProtect(const std::string &drive, uint32_t cartridge, bool on,
                     std::string *why) {
  return UpdateVirtualDrive(
      drive,
      [cartridge, on](VirtualDriveState *s, std::string *reason) {
        if (cartridge < 1 || cartridge > s->cartridges) {
          *reason = "no cartridge " + std::to_string(cartridge) +
                    " (the drive has " + std::to_string(s->cartridges) + ")";
          return false;
        }
        auto &list = s->protected_list;
        list.erase(std::remove(list.begin(), list.end(), cartridge),
                   list.end());
        if (on) {
          list.push_back(cartridge);
          std::sort(list.begin(), list.end());
        }
        return true;
      },
      why);
}

}  // namespace kor
