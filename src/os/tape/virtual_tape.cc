// Virtual tape drives: state file, management, image scanning, and the
// drive as an open device.
//
// Divisions: file helpers; the state text; management; scanning; the
// VirtualDrive backend.
#include "os/tape/virtual_tape.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "os/file_mode.h"
#include "os/posix_os.h"
#include "os/win32_codes.h"

// Cartridge images pass 2 and 4 GiB: positions go to pread() and pwrite()
// as off_t, which must not wrap (CMakeLists.txt sets _FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace kor {
namespace {

// ERROR_MORE_DATA: a record longer than the reader's buffer.
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kDefaultBlock = 65536;

// --- File helpers ------------------------------------------------------------

template <typename Call>
auto Retry(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

std::string ErrnoWords(int err) { return std::strerror(err); }

// Opens `path` for writing as a file that holds backup data: never through
// a link planted at its name, and with the backup file mode whatever the
// umask.  -1 with *why set ("<doing> <path>: <reason>").
int OpenBackupFile(const std::string &path, int flags, const char *doing,
                   std::string *why) {
  uint32_t mode;
  if (!BackupFileMode(&mode)) {
    *why = kFileModeRule;
    return -1;
  }
  const int fd = Retry([&] {
    return ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC,
                  static_cast<mode_t>(mode));
  });
  int err = fd < 0 ? errno : ApplyBackupFileMode(fd, mode);
  if (err == 0) return fd;
  if (fd >= 0) ::close(fd);
  *why = std::string(doing) + " " + path + ": " +
         (err == ELOOP ? "it is a symbolic link" : ErrnoWords(err));
  return -1;
}

// Reads a whole (small) file.  False with errno set.
bool ReadSmallFile(const std::string &path, std::string *text) {
  const int fd =
      Retry([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return false;
  text->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = Retry([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > (1u << 20)) {  // no state file is this large
      ::close(fd);
      errno = EFBIG;
      return false;
    }
  }
  ::close(fd);
  return true;
}

bool WriteAll(int fd, const void *data, size_t size) {
  const char *bytes = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n = Retry([&] { return ::write(fd, bytes, size); });
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Replaces `path` with `text` atomically: a temporary file in the same
// directory, flushed to disk, renamed over it.  The caller holds the lock,
// so one temporary name serves all writers; whatever is left at that name
// (a crashed writer's file, or a link or FIFO someone put there) is
// removed and the file made anew.
bool ReplaceFile(const std::string &path, const std::string &text,
                 std::string *why) {
  const std::string temp = path + ".tmp";
  ::unlink(temp.c_str());
  const int fd =
      OpenBackupFile(temp, O_WRONLY | O_CREAT | O_EXCL, "cannot write", why);
  if (fd < 0) return false;
  if (!WriteAll(fd, text.data(), text.size()) || ::fsync(fd) != 0) {
    *why = "cannot write " + temp + ": " + ErrnoWords(errno);
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  ::close(fd);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *why = "cannot replace " + path + ": " + ErrnoWords(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

// Parses a decimal number in [low, high]; false for anything else.
bool ParseNumber(const std::string &text, uint64_t low, uint64_t high,
                 uint64_t *value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

}  // namespace

// --- The state text ----------------------------------------------------------

bool VirtualDriveState::IsProtected(uint32_t cartridge) const {
  return std::binary_search(protected_list.begin(), protected_list.end(),
                            cartridge);
}

std::string FormatVtapeState(const VirtualDriveState &state) {
  std::ostringstream out;
  out << "# korbr virtual tape drive; change it with `korbr vtape`\n";
  out << "cartridges=" << state.cartridges << "\n";
  out << "capacity=" << state.capacity << "\n";
  out << "min_block=" << state.min_block << "\n";
  out << "max_block=" << state.max_block << "\n";
  out << "mode=" << (state.stacker ? "stacker" : "manual") << "\n";
  out << "loaded=" << state.loaded << "\n";
  out << "generation=" << state.generation << "\n";
  out << "protected=";
  for (size_t i = 0; i < state.protected_list.size(); ++i)
    out << (i == 0 ? "" : ",") << state.protected_list[i];
  out << "\n";
  return out.str();
}

bool ParseVtapeState(const std::string &text, VirtualDriveState *state,
                     std::string *why) {
  VirtualDriveState s;
  bool seen_cartridges = false, seen_capacity = false;
  std::string protected_text;
  std::istringstream in(text);
  std::string line;
  int line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      *why = "state line " + std::to_string(line_number) + " has no '='";
      return false;
    }
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    uint64_t n = 0;
    bool ok = true;
    if (key == "cartridges") {
      ok = ParseNumber(value, 1, kVtapeMaxCartridges, &n);
      s.cartridges = static_cast<uint32_t>(n);
      seen_cartridges = true;
    } else if (key == "capacity") {
      ok = ParseNumber(value, 1, UINT64_MAX / 2, &n);
      s.capacity = n;
      seen_capacity = true;
    } else if (key == "min_block") {
      ok = ParseNumber(value, 1, simh::kMaxRecordLength, &n);
      s.min_block = static_cast<uint32_t>(n);
    } else if (key == "max_block") {
      ok = ParseNumber(value, 1, simh::kMaxRecordLength, &n);
      s.max_block = static_cast<uint32_t>(n);
    } else if (key == "mode") {
      ok = value == "manual" || value == "stacker";
      s.stacker = value == "stacker";
    } else if (key == "loaded") {
      ok = ParseNumber(value, 0, kVtapeMaxCartridges, &n);
      s.loaded = static_cast<uint32_t>(n);
    } else if (key == "generation") {
      ok = ParseNumber(value, 0, UINT64_MAX, &n);
      s.generation = n;
    } else if (key == "protected") {
      protected_text = value;
    }
    if (!ok) {
      *why = "bad value for " + key + " in the state: \"" + value + "\"";
      return false;
    }
  }
  if (!seen_cartridges || !seen_capacity) {
    *why = "the state names no cartridges or no capacity";
    return false;
  }
  if (s.min_block > s.max_block) {
    *why = "the state's min_block is above its max_block";
    return false;
  }
  if (s.loaded > s.cartridges) {
    *why = "the state's loaded cartridge does not exist";
    return false;
  }
  size_t start = 0;
  while (start < protected_text.size()) {
    size_t comma = protected_text.find(',', start);
    if (comma == std::string::npos) comma = protected_text.size();
    uint64_t n = 0;
    if (!ParseNumber(protected_text.substr(start, comma - start), 1,
                     s.cartridges, &n)) {
      *why = "bad protected list in the state: \"" + protected_text + "\"";
      return false;
    }
    s.protected_list.push_back(static_cast<uint32_t>(n));
    start = comma + 1;
  }
  std::sort(s.protected_list.begin(), s.protected_list.end());
  s.protected_list.erase(
      std::unique(s.protected_list.begin(), s.protected_list.end()),
      s.protected_list.end());
  *state = s;
  return true;
}

std::string VtapeStatePath(const std::string &drive) {
  return drive + "/" + kVtapeStateFile;
}

std::string CartridgePath(const std::string &drive, uint32_t cartridge) {
  return drive + "/cartridge-" + std::to_string(cartridge) + ".tap";
}

bool IsVirtualDrive(const std::string &drive) {
  struct stat st;
  if (::stat(drive.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return ::stat(VtapeStatePath(drive).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// --- Management --------------------------------------------------------------

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
  if (!ReplaceFile(VtapeStatePath(drive), FormatVtapeState(checked), why))
    return undo();
  return true;
}

bool ReadVirtualDrive(const std::string &drive, VirtualDriveState *state,
                      std::string *why) {
  std::string text;
  if (!ReadSmallFile(VtapeStatePath(drive), &text)) {
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
  if (Retry([&] { return ::flock(lock, LOCK_EX); }) != 0) {
    *why = "cannot lock " + lock_path + ": " + ErrnoWords(errno);
    ::close(lock);
    return false;
  }
  VirtualDriveState state;
  bool ok = ReadVirtualDrive(drive, &state, why) && change(&state, why) &&
            ReplaceFile(VtapeStatePath(drive), FormatVtapeState(state), why);
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

// --- Scanning ----------------------------------------------------------------

namespace {

// Reads exactly `size` bytes at `offset`; returns the count read (less only
// at the end of the file), or -1 with errno set.
ssize_t ReadAt(int fd, void *buffer, size_t size, uint64_t offset) {
  char *bytes = static_cast<char *>(buffer);
  size_t total = 0;
  while (total < size) {
    const ssize_t n = Retry([&] {
      return ::pread(fd, bytes + total, size - total,
                     static_cast<off_t>(offset + total));
    });
    if (n < 0) return -1;
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(total);
}

}  // namespace

bool ScanCartridgeImage(
    const std::string &path, size_t head_limit,
    const std::function<void(const simh::Object &, const uint8_t *, size_t)>
        &visit,
    std::string *why) {
  const int fd =
      Retry([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) {
    *why = "cannot open " + path + ": " + ErrnoWords(errno);
    return false;
  }
  std::vector<uint8_t> head(head_limit);
  uint64_t at = 0;
  bool ok = true;
  for (;;) {
    uint8_t word[simh::kWordSize];
    const ssize_t n = ReadAt(fd, word, sizeof word, at);
    if (n == 0) break;
    if (n < 0 || n < static_cast<ssize_t>(sizeof word)) {
      *why = n < 0 ? "cannot read " + path + ": " + ErrnoWords(errno)
                   : "image ends inside the word at byte " + std::to_string(at);
      ok = false;
      break;
    }
    simh::Object object;
    object.offset = at;
    const uint32_t value = simh::LoadWord(word);
    const simh::WordKind kind = simh::ClassifyWord(value);
    if (kind == simh::WordKind::kInvalid) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08" PRIX32, value);
      *why = std::string("damaged image: word ") + hex + " at byte " +
             std::to_string(at);
      ok = false;
      break;
    }
    if (kind == simh::WordKind::kTapeMark) {
      object.kind = simh::Object::kTapeMark;
      visit(object, nullptr, 0);
      at += simh::kWordSize;
      continue;
    }
    if (kind == simh::WordKind::kEndOfMedium) {
      object.kind = simh::Object::kEndOfMedium;
      visit(object, nullptr, 0);
      break;
    }
    object.kind = simh::Object::kRecord;
    object.length = value;
    object.data_offset = at + simh::kWordSize;
    const size_t want = std::min<size_t>(head_limit, value);
    const ssize_t got = ReadAt(fd, head.data(), want, object.data_offset);
    const uint64_t trailer_at =
        at + simh::RecordFootprint(value) - simh::kWordSize;
    uint8_t trailer[simh::kWordSize];
    const ssize_t got_trailer = ReadAt(fd, trailer, sizeof trailer, trailer_at);
    if (got < 0 || got_trailer < 0) {
      *why = "cannot read " + path + ": " + ErrnoWords(errno);
      ok = false;
      break;
    }
    if (static_cast<size_t>(got) < want ||
        got_trailer < static_cast<ssize_t>(sizeof trailer)) {
      *why = "image ends inside the record at byte " + std::to_string(at);
      ok = false;
      break;
    }
    if (simh::LoadWord(trailer) != value) {
      *why = "damaged image: the record at byte " + std::to_string(at) +
             " ends with another length";
      ok = false;
      break;
    }
    visit(object, head.data(), want);
    at += simh::RecordFootprint(value);
  }
  ::close(fd);
  return ok;
}

// --- The VirtualDrive backend ------------------------------------------------

namespace {

// What identifies one version of the state file: it is replaced, never
// rewritten in place, so a change gives another inode or other times.
struct Stamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  struct timespec mtime = {0, 0};
  struct timespec ctime = {0, 0};

  bool operator==(const Stamp &o) const {
    return dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
  }
};

bool TakeStamp(const std::string &path, Stamp *stamp) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  stamp->dev = st.st_dev;
  stamp->ino = st.st_ino;
  stamp->size = st.st_size;
  stamp->mtime = st.st_mtim;
  stamp->ctime = st.st_ctim;
  return true;
}

class VirtualDrive final : public TapeBackend {
 public:
  VirtualDrive(std::string dir, int dir_fd, bool writable)
      : dir_(std::move(dir)), dir_fd_(dir_fd), writable_(writable) {}
  ~VirtualDrive() override {
    CloseImage();
    if (dir_fd_ >= 0) ::close(dir_fd_);
  }

  int descriptor() const override { return dir_fd_; }
  bool Read(void *buffer, uint32_t length, uint32_t *done,
            uint32_t *error) override;
  bool Write(const void *buffer, uint32_t length, uint32_t *done,
             uint32_t *error) override;
  uint32_t Status() override { return Ready(true); }
  bool MediaParams(TapeMediaParams *params, uint32_t *error) override;
  bool DriveParams(TapeDriveParams *params, uint32_t *error) override;
  bool SetBlockSize(uint32_t block_size, uint32_t *error) override;
  uint32_t WriteTapemarks(uint32_t count) override;
  uint32_t Unload() override;
  bool Close(uint32_t *error) override;

  // Reads the state (always when `force`, else only when the file
  // changed).  0, or the code of an unreadable state.
  uint32_t Refresh(bool force);

 private:
  // Refreshes and makes sure a cartridge is loaded and its image open.
  uint32_t Ready(bool force);
  void CloseImage();
  // Cuts the image at the position: what lay after it is gone, as on tape.
  // Every write goes through here first, so this is also where an image
  // that shares its bytes with another hard link gets its own copy.
  uint32_t TruncateAtPosition();
  // Replaces the image by a file of its own holding its first `keep`
  // bytes, and writes on there.  0, or a Win32 code with the image as it
  // was.
  uint32_t CopyImageApart(uint64_t keep);
  // A failed write leaves the image as it was before it.
  uint32_t FailWrite(int err);

  const std::string dir_;
  int dir_fd_;               // descriptor(): the directory, held open
  const bool writable_;      // opened with write access
  VirtualDriveState state_;  // as last read
  Stamp stamp_;              // the state file version state_ came from
  bool have_state_ = false;
  uint32_t cartridge_ = 0;   // cartridge the position belongs to
  uint64_t generation_ = 0;  // its load generation
  int image_fd_ = -1;        // its image, once needed
  uint64_t position_ = 0;    // byte offset of the next object
  uint32_t block_size_ = 0;  // set by SetBlockSize; 0 = variable
};

uint32_t VirtualDrive::Refresh(bool force) {
  const std::string path = VtapeStatePath(dir_);
  Stamp stamp;
  if (!TakeStamp(path, &stamp)) return Win32ErrorFromErrno(errno);
  if (!force && have_state_ && stamp == stamp_) return 0;
  std::string text, why;
  if (!ReadSmallFile(path, &text)) return Win32ErrorFromErrno(errno);
  VirtualDriveState state;
  if (!ParseVtapeState(text, &state, &why)) return kErrorIoDevice;
  state_ = state;
  stamp_ = stamp;
  have_state_ = true;
  // Another cartridge, or the same one taken out and put back: the tape is
  // at its beginning.
  if (state_.loaded != cartridge_ || state_.generation != generation_) {
    CloseImage();
    cartridge_ = state_.loaded;
    generation_ = state_.generation;
    position_ = 0;
  }
  return 0;
}

uint32_t VirtualDrive::Ready(bool force) {
  const uint32_t code = Refresh(force);
  if (code != 0) return code;
  if (cartridge_ == 0) return kErrorNoMediaInDrive;
  if (image_fd_ < 0) {
    const std::string path = CartridgePath(dir_, cartridge_);
    image_fd_ = Retry([&] {
      return ::open(path.c_str(), (writable_ ? O_RDWR | O_NOFOLLOW : O_RDONLY) |
                                      O_CLOEXEC);
    });
    // A cartridge whose image is gone cannot be read: the drive is not
    // ready with it.  One replaced by a link is not written through.
    if (image_fd_ < 0) {
      if (errno == ENOENT) return kErrorNotReady;
      return errno == ELOOP ? kErrorStoppedOnSymlink
                            : Win32ErrorFromErrno(errno);
    }
    // An image made before backup files were kept from other users loses
    // the access it should never have had.
    uint32_t mode;
    if (writable_ && BackupFileMode(&mode))
      ApplyBackupFileMode(image_fd_, mode);
  }
  return 0;
}

void VirtualDrive::CloseImage() {
  if (image_fd_ >= 0) ::close(image_fd_);
  image_fd_ = -1;
}

bool VirtualDrive::Read(void *buffer, uint32_t length, uint32_t *done,
                        uint32_t *error) {
  *done = 0;
  *error = Ready(false);
  if (*error != 0) return false;
  uint8_t word[simh::kWordSize];
  const ssize_t n = ReadAt(image_fd_, word, sizeof word, position_);
  if (n < 0) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  if (n == 0) {
    *error = kErrorNoDataDetected;
    return false;
  }
  if (n < static_cast<ssize_t>(sizeof word)) {
    *error = kErrorIoDevice;
    return false;
  }
  const uint32_t value = simh::LoadWord(word);
  switch (simh::ClassifyWord(value)) {
    case simh::WordKind::kTapeMark:
      position_ += simh::kWordSize;
      *error = kErrorFilemarkDetected;
      return false;
    case simh::WordKind::kEndOfMedium:
      *error = kErrorNoDataDetected;
      return false;
    case simh::WordKind::kInvalid:
      *error = kErrorIoDevice;
      return false;
    case simh::WordKind::kRecord:
      break;
  }
  const uint64_t footprint = simh::RecordFootprint(value);
  if (value > length) {
    // As a Windows tape driver: the record is passed over and the reader
    // told that its buffer was too small.
    position_ += footprint;
    *error = kErrorMoreData;
    return false;
  }
  uint8_t tail[simh::kWordSize + 1];
  const size_t tail_size = simh::kWordSize + (value & 1u);
  struct iovec parts[2] = {{buffer, value}, {tail, tail_size}};
  size_t want = value + tail_size;
  size_t got = 0;
  while (got < want) {
    // Advance the vector past what arrived.
    size_t skip = got;
    struct iovec now[2];
    int count = 0;
    for (const struct iovec &part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      now[count].iov_base = static_cast<char *>(part.iov_base) + skip;
      now[count].iov_len = part.iov_len - skip;
      skip = 0;
      ++count;
    }
    const ssize_t r = Retry([&] {
      return ::preadv(image_fd_, now, count,
                      static_cast<off_t>(position_ + simh::kWordSize + got));
    });
    if (r < 0) {
      *error = Win32ErrorFromErrno(errno);
      return false;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  if (got < want || simh::LoadWord(tail + (value & 1u)) != value) {
    *error = kErrorIoDevice;  // a damaged or truncated image
    return false;
  }
  position_ += footprint;
  *done = value;
  return true;
}

uint32_t VirtualDrive::TruncateAtPosition() {
  struct stat st;
  if (::fstat(image_fd_, &st) != 0) return Win32ErrorFromErrno(errno);
  // An image hard-linked elsewhere (a drive directory copied with
  // `cp -al` as a snapshot) is not written in place, or the snapshot would
  // change with it.  The tape before the position is copied to a new
  // image that takes the cartridge's name; the other link keeps the old
  // one whole.  Images are written at a position (appending after the data
  // already there), so making a new empty file, as disk volumes do, would
  // lose what lies before it; the copy is paid only where a link exists.
  if (st.st_nlink > 1)
    return CopyImageApart(std::min<uint64_t>(position_, st.st_size));
  if (static_cast<uint64_t>(st.st_size) == position_) return 0;
  if (Retry([&] {
        return ::ftruncate(image_fd_, static_cast<off_t>(position_));
      }) != 0)
    return Win32ErrorFromErrno(errno);
  return 0;
}

uint32_t VirtualDrive::CopyImageApart(uint64_t keep) {
  const std::string path = CartridgePath(dir_, cartridge_);
  // The drive is open exclusively for writing, so one temporary name
  // serves; whatever a crash left there is made anew.
  const std::string temp = path + ".tmp";
  ::unlink(temp.c_str());
  std::string why;
  errno = 0;
  const int fd =
      OpenBackupFile(temp, O_RDWR | O_CREAT | O_EXCL, "cannot write", &why);
  if (fd < 0) return errno != 0 ? Win32ErrorFromErrno(errno) : kErrorIoDevice;
  std::vector<uint8_t> buffer(std::min<uint64_t>(keep, 1u << 20));
  int err = 0;
  for (uint64_t at = 0; at < keep && err == 0;) {
    const size_t want = static_cast<size_t>(
        std::min<uint64_t>(keep - at, buffer.size()));
    const ssize_t got = ReadAt(image_fd_, buffer.data(), want, at);
    if (got != static_cast<ssize_t>(want)) {
      err = got < 0 ? errno : EIO;
    } else if (!WriteAll(fd, buffer.data(), want)) {
      err = errno != 0 ? errno : EIO;
    }
    at += want;
  }
  if (err == 0 && std::getenv("KOR_NO_FLUSH") == nullptr &&
      Retry([&] { return ::fdatasync(fd); }) != 0)
    err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::close(fd);
    ::unlink(temp.c_str());
    return Win32ErrorFromErrno(err);
  }
  CloseImage();
  image_fd_ = fd;
  return 0;
}

uint32_t VirtualDrive::FailWrite(int err) {
  // No half record may stay behind: cut back to where the write began.
  Retry([&] { return ::ftruncate(image_fd_, static_cast<off_t>(position_)); });
  // The file system under the images filling up is the end of this tape.
  if (err == ENOSPC
#ifdef EDQUOT
      || err == EDQUOT
#endif
  )
    return kErrorEndOfMedia;
  return Win32ErrorFromErrno(err);
}

bool VirtualDrive::Write(const void *buffer, uint32_t length, uint32_t *done,
                         uint32_t *error) {
  *done = 0;
  *error = Ready(false);
  if (*error != 0) return false;
  if (!writable_) {
    *error = kErrorAccessDenied;
    return false;
  }
  if (state_.IsProtected(cartridge_)) {
    *error = kErrorWriteProtect;
    return false;
  }
  if (length == 0) {
    // Nothing to record, but the tape after the position is still given up.
    *error = TruncateAtPosition();
    return *error == 0;
  }
  if (length > state_.max_block || length > simh::kMaxRecordLength) {
    *error = kErrorInvalidParameter;
    return false;
  }
  const uint64_t footprint = simh::RecordFootprint(length);
  if (position_ + footprint > state_.capacity) {
    *error = kErrorEndOfMedia;
    return false;
  }
  *error = TruncateAtPosition();
  if (*error != 0) return false;
  simh::RecordFrame frame;
  simh::FrameRecord(length, &frame);
  struct iovec parts[3] = {
      {frame.prefix, simh::kWordSize},
      {const_cast<void *>(buffer), length},
      {frame.suffix, frame.suffix_size},
  };
  size_t written = 0;
  while (written < footprint) {
    size_t skip = written;
    struct iovec now[3];
    int count = 0;
    for (const struct iovec &part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      now[count].iov_base = static_cast<char *>(part.iov_base) + skip;
      now[count].iov_len = part.iov_len - skip;
      skip = 0;
      ++count;
    }
    const ssize_t r = Retry([&] {
      return ::pwritev(image_fd_, now, count,
                       static_cast<off_t>(position_ + written));
    });
    if (r <= 0) {
      *error = FailWrite(r < 0 ? errno : ENOSPC);
      return false;
    }
    written += static_cast<size_t>(r);
  }
  position_ += footprint;
  *done = length;
  return true;
}

uint32_t VirtualDrive::WriteTapemarks(uint32_t count) {
  uint32_t error = Ready(false);
  if (error != 0) return error;
  if (!writable_) return kErrorAccessDenied;
  if (state_.IsProtected(cartridge_)) return kErrorWriteProtect;
  error = TruncateAtPosition();
  if (error != 0) return error;
  const std::vector<uint8_t> marks(static_cast<size_t>(count) * simh::kWordSize,
                                   0);
  size_t written = 0;
  while (written < marks.size()) {
    const ssize_t r = Retry([&] {
      return ::pwrite(image_fd_, marks.data() + written, marks.size() - written,
                      static_cast<off_t>(position_ + written));
    });
    if (r <= 0) return FailWrite(r < 0 ? errno : ENOSPC);
    written += static_cast<size_t>(r);
  }
  position_ += marks.size();
  return 0;
}

uint32_t VirtualDrive::Unload() {
  const uint32_t code = Ready(true);
  if (code != 0) return code;
  // What was written to the cartridge must survive the machine before the
  // cartridge leaves the drive, as on a real drive whose buffer is written
  // out at unload.  KOR_NO_FLUSH skips it (test suites, benchmarks).
  if (image_fd_ >= 0 && std::getenv("KOR_NO_FLUSH") == nullptr &&
      Retry([&] { return ::fdatasync(image_fd_); }) != 0)
    return Win32ErrorFromErrno(errno);
  CloseImage();
  std::string why;
  bool emptied_meanwhile = false;
  const bool ok = UpdateVirtualDrive(
      dir_,
      [&](VirtualDriveState *s, std::string *) {
        if (s->loaded == 0) {
          emptied_meanwhile = true;
          return false;
        }
        s->loaded = s->stacker && s->loaded < s->cartridges ? s->loaded + 1 : 0;
        ++s->generation;
        return true;
      },
      &why);
  if (!ok) return emptied_meanwhile ? kErrorNoMediaInDrive : kErrorIoDevice;
  return Refresh(true);
}

bool VirtualDrive::MediaParams(TapeMediaParams *params, uint32_t *error) {
  *error = Ready(true);
  if (*error != 0) return false;
  params->capacity = static_cast<int64_t>(state_.capacity);
  params->remaining = static_cast<int64_t>(
      state_.capacity > position_ ? state_.capacity - position_ : 0);
  params->block_size = block_size_;
  params->partition_count = 1;
  params->write_protected = state_.IsProtected(cartridge_);
  return true;
}

bool VirtualDrive::DriveParams(TapeDriveParams *params, uint32_t *error) {
  // The drive answers without a cartridge.
  *error = Refresh(true);
  if (*error != 0) return false;
  *params = TapeDriveParams();
  params->minimum_block_size = state_.min_block;
  params->maximum_block_size = state_.max_block;
  params->default_block_size =
      std::min(std::max(kDefaultBlock, state_.min_block), state_.max_block);
  params->maximum_partition_count = 1;
  return true;
}

bool VirtualDrive::SetBlockSize(uint32_t block_size, uint32_t *error) {
  *error = Ready(true);
  if (*error != 0) return false;
  if (block_size != 0 &&
      (block_size < state_.min_block || block_size > state_.max_block)) {
    *error = kErrorInvalidParameter;
    return false;
  }
  block_size_ = block_size;
  return true;
}

bool VirtualDrive::Close(uint32_t *error) {
  *error = 0;
  CloseImage();
  const int fd = dir_fd_;
  dir_fd_ = -1;
  // Linux releases the descriptor even when close() fails.
  if (::close(fd) != 0 && errno != EINTR) {
    *error = Win32ErrorFromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<TapeBackend> OpenVirtualDrive(const std::string &drive,
                                              bool writable, bool exclusive,
                                              uint32_t *error) {
  *error = 0;
  if (!IsVirtualDrive(drive)) {
    *error = kErrorFileNotFound;
    return nullptr;
  }
  const int fd = Retry([&] {
    return ::open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  if (exclusive && Retry([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    *error = errno == EWOULDBLOCK ? kErrorSharingViolation
                                  : Win32ErrorFromErrno(errno);
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<VirtualDrive> backend(new (std::nothrow)
                                            VirtualDrive(drive, fd, writable));
  if (!backend) {
    ::close(fd);
    *error = kErrorNotEnoughMemory;
    return nullptr;
  }
  // The state must be readable for the drive to be one; an empty drive is
  // fine (its status says so).
  *error = backend->Refresh(true);
  if (*error != 0) return nullptr;
  return backend;
}

}  // namespace kor
