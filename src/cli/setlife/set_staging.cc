// Staging names, and putting a whole set in place.
#include "cli/setlife/set_staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cli/format/volume_locator.h"
#include "cli/options/device_list.h"
#include "rules/device_string_rules.h"

namespace kor {
namespace cli {
namespace {

constexpr char kStagingTag[] = ".staging-";

bool AllDigits(const std::string &text) {
  return !text.empty() && text.size() <= 9 &&
         std::all_of(text.begin(), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

std::string BaseName(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The regular files in the directory of `prefix` (absolute) whose names
// `keep` accepts, as full paths.
template <typename Keep>
std::vector<std::string> NamesBeside(const std::string &prefix, Keep keep) {
  std::vector<std::string> names;
  const std::string dir = VolumeDirectory(prefix);
  DIR *listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (const struct dirent *entry = readdir(listing)) {
    if (!keep(std::string(entry->d_name))) continue;
    // Only regular files are volumes; the library refuses anything else
    // in a volume's place, and says so.
    const std::string path = dir + "/" + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      names.push_back(path);
    }
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

// Staged volume files of `prefix` (absolute): PREFIX.staging-PID.N.
std::vector<std::string> StagedFilesOf(const std::string &prefix) {
  const std::string start = BaseName(prefix) + kStagingTag;
  return NamesBeside(prefix, [&](const std::string &name) {
    if (name.compare(0, start.size(), start) != 0) return false;
    const std::string rest = name.substr(start.size());
    const size_t dot = rest.find('.');
    return dot != std::string::npos && AllDigits(rest.substr(0, dot)) &&
           AllDigits(rest.substr(dot + 1));
  });
}

bool SyncDirectoryOf(const std::string &prefix) {
  const int fd =
      open(VolumeDirectory(prefix).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

// What a replacement puts in place, for one stripe.
struct Placement {
  unsigned last = 0;     // the new set's last volume number
  std::string staged;    // its volumes are STAGED.N until renamed
  std::string prefix;    // ... to PREFIX.N
};

// The note a replacement leaves beside every stripe's volumes while it
// renames: every stripe's placement, so that whichever note a later run
// finds, it can finish the whole replacement.
std::string NotePathOf(const std::string &prefix) {
  const size_t slash = prefix.rfind('/');
  return prefix.substr(0, slash + 1) + "." + prefix.substr(slash + 1) +
         ".replacing";
}

// Fields end with a NUL: no path holds one.
std::string EncodeNote(const std::vector<Placement> &placements) {
  std::string text;
  for (const Placement &p : placements) {
    text += std::to_string(p.last) + '\0' + p.staged + '\0' + p.prefix + '\0';
  }
  return text;
}

// The placements of the note beside `prefix`; false when there is none
// (or it cannot be read whole).
bool ReadNote(const std::string &prefix, std::vector<Placement> *placements) {
  placements->clear();
  const int fd = open(NotePathOf(prefix).c_str(),
                      O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, got);
  close(fd);
  std::vector<std::string> fields;
  size_t at = 0;
  for (size_t end; (end = text.find('\0', at)) != std::string::npos;
       at = end + 1) {
    fields.push_back(text.substr(at, end - at));
  }
  if (fields.empty() || fields.size() % 3 != 0) return false;
  for (size_t i = 0; i < fields.size(); i += 3) {
    if (!AllDigits(fields[i])) return false;
    placements->push_back({static_cast<unsigned>(std::stoul(fields[i])),
                           fields[i + 1], fields[i + 2]});
  }
  return true;
}

bool WriteNote(const std::string &prefix, const std::string &text) {
  const int fd = open(NotePathOf(prefix).c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                      0600);
  if (fd < 0) return false;
  const bool written =
      write(fd, text.data(), text.size()) ==
          static_cast<ssize_t>(text.size()) &&
      fsync(fd) == 0;
  close(fd);
  return written;
}

// Renames every staged volume still there into place and removes the
// volumes past each stripe's last; idempotent, so a run that finds the
// note of one that was killed midway simply does it again.
bool ApplyPlacements(const std::vector<Placement> &placements,
                     std::string *error) {
  for (const Placement &p : placements) {
    for (const unsigned n : VolumeNumbersOf(p.staged)) {
      const std::string from = p.staged + "." + std::to_string(n);
      const std::string to = p.prefix + "." + std::to_string(n);
      if (rename(from.c_str(), to.c_str()) != 0) {
        *error = "cannot put volume " + from + " in place as " + to + ": " +
                 std::strerror(errno);
        return false;
      }
    }
    for (const unsigned n : VolumeNumbersOf(p.prefix)) {
      if (n <= p.last) continue;
      const std::string old = p.prefix + "." + std::to_string(n);
      if (unlink(old.c_str()) != 0 && errno != ENOENT) {
        *error = "cannot remove " + old +
                 ", a volume of the replaced backup: " + std::strerror(errno);
        return false;
      }
    }
    if (!SyncDirectoryOf(p.prefix)) {
      *error = "cannot sync the directory of " + p.prefix + ": " +
               std::strerror(errno);
      return false;
    }
  }
  return true;
}

// Puts `placements` in place under their notes: every note written and
// synced before the first rename, removed after the last.
bool Replace(const std::vector<Placement> &placements, bool *begun,
             std::string *error) {
  *begun = false;
  const std::string note = EncodeNote(placements);
  for (const Placement &p : placements) {
    if (!WriteNote(p.prefix, note) || !SyncDirectoryOf(p.prefix)) {
      *error = "cannot write " + NotePathOf(p.prefix) + ": " +
               std::strerror(errno);
      for (const Placement &q : placements) unlink(NotePathOf(q.prefix).c_str());
      return false;
    }
  }
  *begun = true;
  if (!ApplyPlacements(placements, error)) return false;
  for (const Placement &p : placements) unlink(NotePathOf(p.prefix).c_str());
  for (const Placement &p : placements) SyncDirectoryOf(p.prefix);
  return true;
}

bool IsDiskDevname(const std::string &devname) {
  return !devname.empty() && !IsTapeDevname(devname) &&
         strncasecmp(devname.c_str(), "s3://", 5) != 0;
}

}  // namespace

std::vector<unsigned> VolumeNumbersOf(const std::string &prefix) {
  const std::string start = BaseName(prefix) + ".";
  std::vector<unsigned> numbers;
  for (const std::string &path :
       NamesBeside(prefix, [&](const std::string &name) {
         return name.compare(0, start.size(), start) == 0 &&
                AllDigits(name.substr(start.size())) &&
                name[start.size()] != '0';
       })) {
    numbers.push_back(static_cast<unsigned>(
        std::stoul(BaseName(path).substr(start.size()))));
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::string WithDevname(const std::string &devstring,
                        const std::string &devname) {
  // The library's grammar: a key runs to '=', its value to ';'.
  std::string out;
  size_t at = 0;
  while (at < devstring.size()) {
    const size_t equals = devstring.find('=', at);
    if (equals == std::string::npos) break;
    const size_t end = std::min(devstring.find(';', equals), devstring.size());
    const std::string key = devstring.substr(at, equals - at);
    out += devstring.substr(at, equals + 1 - at);
    out += EqualIgnoringCase(key, "devname")
               ? devname
               : devstring.substr(equals + 1, end - equals - 1);
    if (end < devstring.size()) out += ';';
    at = end + 1;
  }
  if (at < devstring.size()) out += devstring.substr(at);
  return out;
}

bool SetStaging::Prepare(const std::vector<std::string> &devices,
                         std::vector<std::string> *write_devices,
                         std::string *error) {
  stripes_.clear();
  debris_removed_ = 0;
  replacing_ = false;
  // A replacement a killed run began is finished first: its staged
  // volumes are a whole set, not debris.
  if (!FinishInterruptedReplacement(devices, &finished_replacement_, error)) {
    return false;
  }
  std::vector<size_t> disk;  // which of `devices` are disk stripes
  for (size_t s = 0; s < devices.size(); ++s) {
    const std::string devname = DevnameOf(devices[s]);
    if (!IsDiskDevname(devname)) continue;
    disk.push_back(s);
    Stripe stripe;
    stripe.prefix = AbsoluteDevname(devname);
    for (const std::string &path : StagedFilesOf(stripe.prefix)) {
      if (unlink(path.c_str()) == 0) ++debris_removed_;
    }
    if (!VolumeNumbersOf(stripe.prefix).empty()) replacing_ = true;
    stripes_.push_back(stripe);
  }
  *write_devices = devices;
  const std::string tag = kStagingTag + std::to_string(getpid());
  for (size_t i = 0; i < disk.size(); ++i) {
    Stripe &stripe = stripes_[i];
    if (!replacing_) {
      stripe.write_prefix = stripe.prefix;
      continue;
    }
    const std::string devname = DevnameOf(devices[disk[i]]) + tag;
    if (devname.size() > kMaxDeviceValueLength) {
      *error = "cannot stage the new backup beside the old one: the name " +
               devname + " is longer than 255 bytes";
      return false;
    }
    stripe.write_prefix = stripe.prefix + tag;
    (*write_devices)[disk[i]] = WithDevname(devices[disk[i]], devname);
  }
  return true;
}

std::vector<std::string> SetStaging::write_prefixes() const {
  std::vector<std::string> prefixes;
  for (const Stripe &stripe : stripes_) prefixes.push_back(stripe.write_prefix);
  return prefixes;
}

std::string SetStaging::SetName() const {
  if (stripes_.empty()) return "";
  std::string name = stripes_.front().prefix;
  if (stripes_.size() > 1) {
    name += " (and " + std::to_string(stripes_.size() - 1) + " more stripe" +
            (stripes_.size() > 2 ? "s" : "") + ")";
  }
  return name;
}

bool SetStaging::Commit(bool *begun, std::string *error) {
  *begun = false;
  if (!replacing_) return true;
  std::vector<Placement> placements;
  for (const Stripe &stripe : stripes_) {
    const std::vector<unsigned> staged = VolumeNumbersOf(stripe.write_prefix);
    placements.push_back({staged.empty() ? 0 : staged.back(),
                          stripe.write_prefix, stripe.prefix});
  }
  return Replace(placements, begun, error);
}

bool FinishInterruptedReplacement(const std::vector<std::string> &devices,
                                  bool *finished, std::string *error) {
  *finished = false;
  for (const std::string &device : devices) {
    const std::string devname = DevnameOf(device);
    if (!IsDiskDevname(devname)) continue;
    std::vector<Placement> placements;
    if (!ReadNote(AbsoluteDevname(devname), &placements)) continue;
    if (!ApplyPlacements(placements, error)) return false;
    for (const Placement &p : placements) unlink(NotePathOf(p.prefix).c_str());
    for (const Placement &p : placements) SyncDirectoryOf(p.prefix);
    *finished = true;
  }
  return true;
}

bool HasInterruptedReplacement(const std::vector<std::string> &devices) {
  for (const std::string &device : devices) {
    const std::string devname = DevnameOf(device);
    struct stat st;
    if (IsDiskDevname(devname) &&
        lstat(NotePathOf(AbsoluteDevname(devname)).c_str(), &st) == 0) {
      return true;
    }
  }
  return false;
}

size_t SetStaging::VolumesWritten() const {
  size_t count = 0;
  for (const Stripe &stripe : stripes_) {
    count += VolumeNumbersOf(stripe.write_prefix).size();
  }
  return count;
}

size_t SetStaging::Discard(bool keep) {
  if (keep) return 0;
  size_t removed = 0;
  for (const Stripe &stripe : stripes_) {
    for (const unsigned n : VolumeNumbersOf(stripe.write_prefix)) {
      const std::string path = stripe.write_prefix + "." + std::to_string(n);
      if (unlink(path.c_str()) == 0) ++removed;
    }
  }
  return removed;
}

}  // namespace cli
}  // namespace kor
