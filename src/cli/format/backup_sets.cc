// Finding the backup sets among volume files.
#include "cli/format/backup_sets.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

namespace kor {
namespace cli {
namespace {

bool ReadAt(int fd, uint64_t offset, uint8_t *buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n = pread(fd, buffer + got, length - got,
                            static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// Data bytes of a volume: between the head labels and the tail labels, or
// to the end of a file cut short.
uint64_t DataBytes(const VolumeFile &v) {
  const uint64_t labels = kVolumeHeadSize + (v.closed ? kVolumeTailSize : 0);
  return v.file_size > labels ? v.file_size - labels : 0;
}

// Reads `length` bytes at `offset` of the volume file `path`, never
// through a symbolic link.
bool ReadFileRange(const std::string &path, uint64_t offset, uint8_t *buffer,
                   size_t length) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool ok = ReadAt(fd, offset, buffer, length);
  close(fd);
  return ok;
}

// The volume file `path` as found: false with *why when it is no regular
// file.
bool FindFile(const std::string &path, FoundVolume *found, std::string *why) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *why = std::string("cannot open it: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    return false;
  }
  found->path = path;
  found->size = static_cast<uint64_t>(st.st_size);
  return true;
}

// Reads the labels of the volume `v.path` (`v.file_size` bytes long).
// False with *why when it is not a volume at all.
bool ReadVolumeLabels(VolumeFile *v, const VolumeReader &read,
                      std::string *why) {
  uint8_t head[kVolumeHeadSize];
  uint8_t tail[kVolumeTailSize];
  if (v->file_size < kVolumeHeadSize || !read(v->path, 0, head, sizeof head)) {
    *why = "too short to hold the volume labels";
    return false;
  }
  if (!DecodeVolumeHead(head, sizeof head, &v->labels, why)) return false;
  v->labelled = true;
  std::string tail_why;
  v->closed = v->file_size >= kVolumeHeadSize + kVolumeTailSize &&
              read(v->path, v->file_size - kVolumeTailSize, tail, sizeof tail) &&
              DecodeVolumeTail(tail, sizeof tail, &v->labels, &tail_why);
  return true;
}

// Reads out->size() bytes at data offset `offset` of volume `v`.
bool ReadData(const VolumeFile &v, const VolumeReader &read, uint64_t offset,
              std::vector<uint8_t> *out) {
  return read(v.path, kVolumeHeadSize + offset, out->data(), out->size());
}

// The volumes of one backup on a stripe: 1, 2, ... up to the one closed by
// EOF1+EOF2; what follows is left over from another backup.
void ChainVolumes(std::vector<VolumeFile> found, StripeFiles *stripe) {
  int expected = 1;
  size_t i = 0;
  bool ended = false;
  for (; i < found.size() && !ended; ++i) {
    VolumeFile &v = found[i];
    if (v.number != expected) {
      stripe->faults.push_back("volume " + std::to_string(expected) +
                               " is missing");
      // What follows a gap is most likely this backup's own.
      for (; i < found.size(); ++i) stripe->volumes.push_back(found[i]);
      return;
    }
    if (v.labels.volume != v.number) {
      stripe->faults.push_back(v.path + " holds volume " +
                               std::to_string(v.labels.volume));
    }
    stripe->volumes.push_back(v);
    if (!v.closed) {
      stripe->faults.push_back("volume " + std::to_string(v.number) +
                               " is cut short (no closing labels)");
      ended = true;
    } else if (!v.labels.end_of_volume) {
      ended = true;
    }
    ++expected;
  }
  if (!ended && i == found.size() && stripe->faults.empty()) {
    stripe->faults.push_back("volume " + std::to_string(expected) +
                             " is missing (the one before says more follow)");
  }
  for (; i < found.size(); ++i) stripe->leftovers.push_back(found[i].path);
}

void ReadHeader(StripeFiles *stripe, const VolumeReader &read) {
  if (stripe->volumes.empty()) {
    if (stripe->faults.empty()) stripe->faults.push_back("volume 1 is missing");
    return;
  }
  const VolumeFile &first = stripe->volumes.front();
  std::vector<uint8_t> bytes(kHeaderRequestSize);
  std::string why = "it holds no stream header";
  if (DataBytes(first) >= kHeaderRequestSize && ReadData(first, read, 0, &bytes) &&
      DecodeHeader(bytes.data(), bytes.size(), &stripe->header, &why)) {
    stripe->have_header = true;
    return;
  }
  stripe->faults.push_back("volume 1: " + why);
}

// The trailer ends the last volume's data, one request long.  Checks it
// against the header and the bytes the volumes hold.
void ReadTrailer(StripeFiles *stripe, const VolumeReader &read) {
  if (!stripe->have_header || !stripe->faults.empty()) return;
  const VolumeFile &last = stripe->volumes.back();
  const uint32_t size = stripe->header.request_size;
  std::vector<uint8_t> bytes(size);
  std::string why;
  if (DataBytes(last) < size || !ReadData(last, read, DataBytes(last) - size, &bytes) ||
      !DecodeTrailer(bytes.data(), bytes.size(), &stripe->trailer, &why)) {
    stripe->faults.push_back(
        "no stream trailer: the backup failed or was interrupted");
    return;
  }
  const StreamHeader &h = stripe->header;
  const StreamTrailer &t = stripe->trailer;
  if (t.backup_id != h.backup_id || t.stripe_index != h.stripe_index ||
      t.stripe_count != h.stripe_count) {
    stripe->faults.push_back("its trailer belongs to another backup");
    return;
  }
  stripe->have_trailer = true;
  uint64_t data = 0;
  for (const VolumeFile &v : stripe->volumes) data += DataBytes(v);
  const uint64_t recorded =
      kHeaderRequestSize + (t.stripe_frames + 1) * uint64_t{size};
  if (data != recorded) {
    stripe->faults.push_back("its volumes hold " + std::to_string(data) +
                             " bytes of data; its trailer accounts for " +
                             std::to_string(recorded));
  }
}

std::string StripeLabel(uint32_t index, const StripeFiles &s) {
  return "stripe " + std::to_string(index) + " (" + s.prefix + ")";
}

// Checks a set's stripes against its header and one another.
void JudgeSet(FoundSet *set) {
  const uint32_t count = set->header.stripe_count;
  std::vector<StripeFiles> by_index(count);
  std::vector<bool> seen(count, false);
  for (StripeFiles &s : set->stripes) {
    const uint32_t i = s.header.stripe_index;
    if (i >= count || s.header.stripe_count != count) {
      set->faults.push_back(s.prefix + ": its header disagrees on the stripes");
      continue;
    }
    if (seen[i]) {
      set->faults.push_back("stripe " + std::to_string(i) + " found twice (" +
                            by_index[i].prefix + ", " + s.prefix + ")");
      continue;
    }
    seen[i] = true;
    by_index[i] = std::move(s);
  }
  std::vector<std::string> prefixes;
  for (uint32_t i = 0; i < count; ++i) {
    if (!seen[i]) {
      set->faults.push_back("stripe " + std::to_string(i) + " is missing");
      continue;
    }
    const StripeFiles &s = by_index[i];
    prefixes.push_back(s.prefix);
    for (const std::string &f : s.faults) {
      set->faults.push_back(StripeLabel(i, s) + ": " + f);
    }
    if (!s.have_trailer) continue;
    // An encrypted stream keeps its length in the sealed block: unknown
    // without the key.
    if (s.trailer.version >= 3 && s.trailer.sealed_block != SealedBlock{}) {
      continue;
    }
    if (!set->have_input_bytes) {
      set->have_input_bytes = true;
      set->input_bytes = s.trailer.total_bytes;
    } else if (s.trailer.total_bytes != set->input_bytes) {
      set->faults.push_back(StripeLabel(i, s) +
                            ": its trailer records another stream length");
    }
  }
  set->stripes.clear();
  for (uint32_t i = 0; i < count; ++i) {
    if (seen[i]) set->stripes.push_back(std::move(by_index[i]));
  }
  if (!set->stripes.empty()) set->header = set->stripes.front().header;
  set->name = SetName(prefixes.size() == count ? prefixes
                                               : std::vector<std::string>{});
  if (set->name.empty()) {
    for (const StripeFiles &s : set->stripes) {
      set->name += (set->name.empty() ? "" : ", ") + s.prefix;
    }
  }
  set->complete = set->faults.empty();
}

// Chains, and reads the header and trailer of, the volume files found
// for one prefix.
StripeFiles JudgeStripe(const std::string &prefix,
                        std::vector<VolumeFile> found,
                        const VolumeReader &read) {
  std::sort(found.begin(), found.end(),
            [](const VolumeFile &a, const VolumeFile &b) {
              return a.number < b.number;
            });
  StripeFiles stripe;
  stripe.prefix = prefix;
  ChainVolumes(std::move(found), &stripe);
  ReadHeader(&stripe, read);
  ReadTrailer(&stripe, read);
  return stripe;
}

}  // namespace

StripeFiles ReadStripe(const std::string &prefix) {
  std::vector<FoundVolume> found;
  for (int n = 1; n < 10000; ++n) {
    const std::string path = prefix + "." + std::to_string(n);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) break;
    FoundVolume v;
    std::string why;
    if (FindFile(path, &v, &why)) found.push_back(v);
  }
  return ReadStripeVolumes(prefix, found, ReadFileRange);
}

StripeFiles ReadStripeVolumes(const std::string &prefix,
                              const std::vector<FoundVolume> &volumes,
                              const VolumeReader &read) {
  std::vector<VolumeFile> found;
  for (const FoundVolume &f : volumes) {
    VolumeFile v;
    std::string name;
    v.path = f.path;
    v.file_size = f.size;
    std::string why;
    if (SplitVolumeName(f.path, &name, &v.number) && name == prefix &&
        ReadVolumeLabels(&v, read, &why))
      found.push_back(v);
  }
  return JudgeStripe(prefix, std::move(found), read);
}

bool SplitVolumeName(const std::string &name, std::string *prefix,
                     int *volume) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() ||
      name.size() - dot - 1 > 4 || name[dot + 1] == '0') {
    return false;
  }
  int n = 0;
  for (size_t i = dot + 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    n = n * 10 + (name[i] - '0');
  }
  *prefix = name.substr(0, dot);
  *volume = n;
  return true;
}

std::string SetName(const std::vector<std::string> &prefixes) {
  if (prefixes.empty()) return "";
  if (prefixes.size() == 1) return prefixes.front();
  // The common start and end of every prefix; what lies between must be
  // the stripe's own number.
  size_t head = prefixes.front().size();
  size_t tail = prefixes.front().size();
  for (const std::string &p : prefixes) {
    const std::string &f = prefixes.front();
    size_t h = 0;
    while (h < std::min(head, p.size()) && p[h] == f[h]) ++h;
    head = h;
    size_t t = 0;
    while (t < std::min(tail, p.size()) &&
           p[p.size() - 1 - t] == f[f.size() - 1 - t]) {
      ++t;
    }
    tail = t;
  }
  // Stripe numbers 1 and 10 share a leading digit: the part that varies
  // starts after the last character of the common start that is no digit.
  while (head > 0 && std::isdigit(static_cast<unsigned char>(
                         prefixes.front()[head - 1]))) {
    --head;
  }
  bool numbered = true;
  for (size_t i = 0; i < prefixes.size() && numbered; ++i) {
    const std::string &p = prefixes[i];
    numbered = p.size() >= head + tail &&
               p.substr(head, p.size() - head - tail) == std::to_string(i);
  }
  if (numbered) {
    const std::string &f = prefixes.front();
    return f.substr(0, head) + "{stripe}" + f.substr(f.size() - tail);
  }
  std::string joined;
  for (const std::string &p : prefixes) {
    joined += (joined.empty() ? "" : ", ") + p;
  }
  return joined;
}

bool ScanBackupSets(const std::string &where_given, SetScan *scan,
                    std::string *error) {
  // A prefix as --device writes it: the stripes are what follows.
  const std::string where = where_given.substr(0, where_given.find("{stripe}"));
  std::string dir = where;
  std::string start;  // what every file name begins with
  struct stat st;
  if (where.empty() || where.back() == '/' ||
      stat(where.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const size_t slash = where.rfind('/');
    dir = slash == std::string::npos ? "." : where.substr(0, slash);
    if (dir.empty()) dir = "/";
    start = slash == std::string::npos ? where : where.substr(slash + 1);
  }
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    *error = "cannot read the directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  const std::string base =
      (where.rfind('/') == std::string::npos && !start.empty()) ? ""
      : dir == "/" ? "/" : dir + "/";
  std::vector<FoundVolume> found;
  while (const struct dirent *entry = readdir(d)) {
    const std::string name = entry->d_name;
    std::string prefix;
    int number = 0;
    if (name.compare(0, start.size(), start) != 0 ||
        !SplitVolumeName(name, &prefix, &number)) {
      continue;
    }
    FoundVolume v;
    std::string why;
    if (!FindFile(base + name, &v, &why)) {
      scan->ignored.push_back(base + name + ": " + why);
      continue;
    }
    found.push_back(v);
  }
  closedir(d);
  ScanVolumes(found, ReadFileRange, scan);
  return true;
}

void ScanVolumes(const std::vector<FoundVolume> &found,
                 const VolumeReader &read, SetScan *scan) {
  std::map<std::string, std::vector<VolumeFile>> by_prefix;
  for (const FoundVolume &f : found) {
    VolumeFile v;
    std::string prefix;
    if (!SplitVolumeName(f.path, &prefix, &v.number)) continue;
    v.path = f.path;
    v.file_size = f.size;
    std::string why;
    if (!ReadVolumeLabels(&v, read, &why)) {
      scan->ignored.push_back(v.path + ": " + why);
      continue;
    }
    by_prefix[prefix].push_back(v);
  }
  std::sort(scan->ignored.begin(), scan->ignored.end());

  std::map<std::string, FoundSet> by_id;  // backup id, or prefix
  for (auto &[prefix, found] : by_prefix) {
    StripeFiles stripe = JudgeStripe(prefix, std::move(found), read);
    const std::string key = stripe.have_header
                                ? "id " + BackupIdHex(stripe.header.backup_id)
                                : "prefix " + prefix;
    FoundSet &set = by_id[key];
    set.have_header = stripe.have_header;
    if (set.stripes.empty()) set.header = stripe.header;
    for (const VolumeFile &v : stripe.volumes) set.stored_bytes += v.file_size;
    set.stripes.push_back(std::move(stripe));
  }
  for (auto &[key, set] : by_id) {
    if (set.have_header) {
      JudgeSet(&set);
    } else {
      // No header: what the stripe is cannot be told, only what is wrong.
      StripeFiles &s = set.stripes.front();
      set.name = s.prefix;
      for (const std::string &f : s.faults) set.faults.push_back(f);
    }
    scan->sets.push_back(std::move(set));
  }
  std::sort(scan->sets.begin(), scan->sets.end(),
            [](const FoundSet &a, const FoundSet &b) {
              return a.name != b.name ? a.name < b.name
                                      : a.header.created < b.header.created;
            });
}

}  // namespace cli
}  // namespace kor
