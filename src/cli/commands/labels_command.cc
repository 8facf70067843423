// korbr labels.
#include "cli/commands/labels_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cli/options/arg_parser.h"
#include "cli/commands/command_common.h"
#include "cli/format/backup_sets.h"
#include "cli/format/key_area.h"
#include "cli/format/label_decode.h"
#include "cli/format/printable_text.h"
#include "cli/format/stream_format.h"

// A stream header holds the backup time in 64 bits; with a 32-bit time_t
// a time after January 2038 would be shown as one in 1901.
static_assert(sizeof(time_t) == 8, "build with _TIME_BITS=64");

namespace kor {
namespace cli {
namespace {

const std::vector<OptionSpec> &LabelsOptions() {
  static const std::vector<OptionSpec> specs = {
      {"help", 'h', false, false, nullptr, "show this help and exit"},
  };
  return specs;
}

void PrintLabelsHelp() {
  std::printf(
      "Usage: korbr labels VOLUME... | SET...\n"
      "\n"
      "Shows the labels and the layout of disk volume files (such as\n"
      "/backups/sales.s0.1), decoded: the VOL1 serial (stripe and volume),\n"
      "the HDR1 and HDR2 fields, the bytes of data, and whether the backup\n"
      "goes on on another volume (EOV) or ends on this one (EOF); also the\n"
      "korbr stream header or trailer found in the data, and the backup the\n"
      "volume belongs to (id, stripe, volume) as far as it can tell.  A SET\n"
      "(a directory, or a prefix such as /backups/sales or\n"
      "/backups/sales.s{stripe}) shows every volume of every set there; a\n"
      "middle volume then names its backup through its stripe's first.\n"
      "\n"
      "Options:\n%s"
      "\n"
      "Exit status: 0 every volume complete, 1 one is not a volume (or is\n"
      "cut short), 2 usage error.\n",
      OptionsHelp(LabelsOptions()).c_str());
}

bool ReadAt(int fd, uint64_t offset, uint8_t *buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    const ssize_t n =
        pread(fd, buffer + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

std::string TimeText(uint64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts;
  char text[64];
  if (gmtime_r(&t, &parts) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
    return "?";
  }
  return text;
}

// The stream header, when the data of this volume begins with one; false
// when there is none.
bool ShowStreamHeader(int fd, const VolumeLabels &labels, StreamHeader *out) {
  if (labels.data_bytes < kHeaderRequestSize) return false;
  std::vector<uint8_t> bytes(kHeaderRequestSize);
  if (!ReadAt(fd, kVolumeHeadSize, bytes.data(), bytes.size())) return false;
  StreamHeader h;
  std::string why;
  if (!DecodeHeader(bytes.data(), bytes.size(), &h, &why)) {
    if (std::memcmp(bytes.data(), "KORBRSTR", 8) == 0) {
      std::printf("stream header  present but unreadable: %s\n", why.c_str());
    }
    return false;
  }
  std::printf(
      "stream header  stripe %u of %u, backup %s, database '%s'\n"
      "               requests of %u bytes, made %s\n",
      h.stripe_index, h.stripe_count, BackupIdHex(h.backup_id).c_str(),
      PrintableText(h.dbname).c_str(), h.request_size,
      TimeText(h.created).c_str());
  if (h.encryption == Encryption::kPassphrase) {
    std::printf("               encrypted with a passphrase\n");
  } else if (h.encryption == Encryption::kRecipients) {
    std::string ids;
    for (const KeyId &id : KeyAreaRecipients(h.key_area.data())) {
      ids += (ids.empty() ? "" : ", ") + KeyIdHex(id);
    }
    std::printf("               encrypted to the keys with ids %s\n",
                ids.c_str());
  }
  *out = h;
  return true;
}

// The stream trailer, when the data of this volume ends with one: it is
// the stripe's last request, so it lies request-size bytes before the end
// of the data, and it names that size itself.
// False when there is none.
bool ShowStreamTrailer(int fd, const VolumeLabels &labels,
                       StreamTrailer *out) {
  const uint64_t data_end = kVolumeHeadSize + labels.data_bytes;
  const uint64_t window =
      std::min<uint64_t>(labels.data_bytes, kMaxRequestSize);
  if (window < kMinRequestSize) return false;
  std::vector<uint8_t> bytes(static_cast<size_t>(window));
  if (!ReadAt(fd, data_end - window, bytes.data(), bytes.size())) return false;
  for (uint64_t size = kMinRequestSize; size <= window; ++size) {
    const uint8_t *at = bytes.data() + (window - size);
    if (std::memcmp(at, "KORBREND", 8) != 0) continue;
    StreamTrailer t;
    std::string why;
    if (!DecodeTrailer(at, static_cast<size_t>(size), &t, &why)) continue;
    if (t.version >= 3 && t.sealed_block != SealedBlock{}) {
      // Encrypted: the length and content seal are in the sealed block.
      std::printf(
          "stream trailer stripe %u of %u, backup %s\n"
          "               encrypted stream in %llu frames (%llu on this "
          "stripe); its length and content seal need the key\n",
          t.stripe_index, t.stripe_count, BackupIdHex(t.backup_id).c_str(),
          static_cast<unsigned long long>(t.total_frames),
          static_cast<unsigned long long>(t.stripe_frames));
      *out = t;
      return true;
    }
    std::printf(
        "stream trailer stripe %u of %u, backup %s\n"
        "               stream of %s in %s (%llu on this stripe)\n"
        "               %s %s\n",
        t.stripe_index, t.stripe_count, BackupIdHex(t.backup_id).c_str(),
        Counted(t.total_bytes, "byte").c_str(),
        Counted(t.total_frames, "frame").c_str(),
        static_cast<unsigned long long>(t.stripe_frames),
        t.version >= 3 ? "content seal" : "SHA-256",
        DigestHex(t.stream_digest).c_str());
    *out = t;
    return true;
  }
  return false;
}

// HDR1 dates are " YYDDD" (a blank or 0 for the 1900s, 1 for the 2000s,
// then year and day of year); "000000" and blanks mean none was recorded.
std::string DateText(const std::string &field) {
  if (field.find_first_not_of("0 ") == std::string::npos) {
    return "(none recorded)";
  }
  return field;
}

// The volume file's size and its VOL1, HDR1 and HDR2 labels.
void PrintHeadLabels(const std::string &path, const VolumeLabels &labels) {
  // The labels were checked to be printable ASCII; they are shown escaped
  // all the same, as everything read from a volume is.
  auto shown = [](const std::string &field) { return PrintableText(field); };
  auto shown_char = [](char c) { return PrintableText(std::string(1, c)); };
  std::printf("volume file    %s (%llu bytes)\n", path.c_str(),
              static_cast<unsigned long long>(labels.file_size));
  std::printf(
      "VOL1           serial %s: stripe %d, volume %d; label "
      "standard %s\n",
      shown(labels.serial).c_str(), labels.stripe, labels.volume,
      shown_char(labels.label_standard).c_str());
  std::printf(
      "HDR1           file section %s, file sequence %s, generation "
      "%s version %s,\n"
      "               created %s, expires %s, accessibility %s, "
      "block count %s\n",
      shown(labels.file_section).c_str(), shown(labels.file_sequence).c_str(),
      shown(labels.generation).c_str(),
      shown(labels.generation_version).c_str(),
      shown(DateText(labels.creation_date)).c_str(),
      shown(DateText(labels.expiration_date)).c_str(),
      shown(labels.accessibility).c_str(), shown(labels.block_count).c_str());
  std::printf(
      "HDR2           record format %s, block length %s, record "
      "length %s, buffer-offset length %s\n",
      shown_char(labels.record_format).c_str(),
      shown(labels.block_length).c_str(), shown(labels.record_length).c_str(),
      shown(labels.buffer_offset_length).c_str());
}

// What a volume tells of the backup it belongs to, from the stream
// records it holds.
struct Belonging {
  bool have_id = false;
  BackupId id{};
  uint32_t stripe_count = 0;
};

// The trailer labels and what they say of the stream; the stream header and
// trailer behind them.  kExitFailure, after saying why, when the volume has
// no readable trailer labels.
int PrintTail(int fd, const std::string &path, VolumeLabels *labels_out,
              Belonging *belonging) {
  VolumeLabels &labels = *labels_out;
  std::string error;
  uint8_t tail[kVolumeTailSize];
  int code = kExitSuccess;
  if (labels.file_size < kVolumeHeadSize + kVolumeTailSize ||
      !ReadAt(fd, labels.file_size - kVolumeTailSize, tail, sizeof tail) ||
      !DecodeVolumeTail(tail, sizeof tail, &labels, &error)) {
    if (labels.file_size < kVolumeHeadSize + kVolumeTailSize) {
      error = "there is no room for trailer labels: the volume is incomplete";
    }
    std::fflush(stdout);
    std::fprintf(stderr, "korbr labels: %s: %s\n", path.c_str(), error.c_str());
    code = kExitFailure;
  } else {
    labels.data_bytes = labels.file_size - kVolumeHeadSize - kVolumeTailSize;
    std::printf(
        "data           %llu bytes (offsets %llu to %llu)\n",
        static_cast<unsigned long long>(labels.data_bytes),
        static_cast<unsigned long long>(kVolumeHeadSize),
        static_cast<unsigned long long>(kVolumeHeadSize + labels.data_bytes));
    if (labels.end_of_volume) {
      std::printf("trailer        EOV1+EOV2: the backup goes on on volume %d\n",
                  labels.volume + 1);
    } else {
      std::printf("trailer        EOF1+EOF2: the last volume of stripe %d\n",
                  labels.stripe);
    }
    StreamHeader header;
    StreamTrailer trailer;
    if (ShowStreamHeader(fd, labels, &header)) {
      *belonging = {true, header.backup_id, header.stripe_count};
    }
    if (!labels.end_of_volume && ShowStreamTrailer(fd, labels, &trailer)) {
      if (!belonging->have_id) {
        *belonging = {true, trailer.backup_id, trailer.stripe_count};
      }
    } else if (!labels.end_of_volume) {
      // The labels close the stripe, but korbr never wrote the record that
      // ends its stream: the backup failed or was interrupted.
      std::printf(
          "stream trailer missing: the backup is incomplete (it failed or "
          "was interrupted) and cannot be restored\n");
    }
  }
  return code;
}

// The line naming the backup a volume belongs to.  `set` is what the
// set the volume was found in says (the stripe's first volume), or null
// when the volume was given alone.
void PrintBackupLine(const VolumeLabels &labels, const Belonging &own,
                     const Belonging *set) {
  const Belonging *known = own.have_id ? &own : set;
  std::string where = "stripe " + std::to_string(labels.stripe);
  if (known != nullptr && known->have_id && known->stripe_count > 0) {
    where += " of " + std::to_string(known->stripe_count);
  }
  where += ", volume " + std::to_string(labels.volume);
  if (known != nullptr && known->have_id) {
    std::printf("backup         %s, %s%s\n", BackupIdHex(known->id).c_str(),
                where.c_str(),
                own.have_id ? "" : " (from the stripe's first volume)");
  } else {
    std::printf(
        "backup         id unknown (no stream header in this volume), %s\n",
        where.c_str());
  }
}

// Shows one volume file.  `set` as for PrintBackupLine.  The exit code
// for it.
int ShowVolume(const std::string &path, const Belonging *set) {
  std::string error;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "korbr labels: cannot open %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return kExitFailure;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr,
                 "korbr labels: %s is not a volume file: not a "
                 "regular file\n",
                 path.c_str());
    close(fd);
    return kExitFailure;
  }
  VolumeLabels labels;
  labels.file_size = static_cast<uint64_t>(st.st_size);
  uint8_t head[kVolumeHeadSize];
  if (labels.file_size < kVolumeHeadSize || !ReadAt(fd, 0, head, sizeof head) ||
      !DecodeVolumeHead(head, sizeof head, &labels, &error)) {
    if (labels.file_size < kVolumeHeadSize) {
      error = "it is too short to hold the VOL1, HDR1 and HDR2 labels";
    }
    std::fprintf(stderr, "korbr labels: %s is not a volume file: %s\n",
                 path.c_str(), error.c_str());
    close(fd);
    return kExitFailure;
  }

  PrintHeadLabels(path, labels);
  Belonging own;
  const int code = PrintTail(fd, path, &labels, &own);
  close(fd);
  PrintBackupLine(labels, own, set);
  return code;
}

// Shows every volume of every set under `where` (a directory or prefix),
// each naming its backup through its stripe's first volume.
int ShowSets(const std::string &where, bool *first_view) {
  SetScan scan;
  std::string error;
  if (!ScanBackupSets(where, &scan, &error)) {
    std::fprintf(stderr, "korbr labels: %s\n", error.c_str());
    return kExitFailure;
  }
  if (scan.sets.empty()) {
    std::fprintf(stderr, "korbr labels: no volume files in %s\n",
                 where.c_str());
    return kExitFailure;
  }
  int code = kExitSuccess;
  for (const FoundSet &set : scan.sets) {
    for (const StripeFiles &stripe : set.stripes) {
      Belonging from_set;
      if (stripe.have_header) {
        from_set = {true, stripe.header.backup_id, stripe.header.stripe_count};
      }
      for (const VolumeFile &v : stripe.volumes) {
        if (!*first_view) std::printf("\n");
        *first_view = false;
        if (ShowVolume(v.path, &from_set) != kExitSuccess) code = kExitFailure;
      }
      for (const std::string &left : stripe.leftovers) {
        if (!*first_view) std::printf("\n");
        *first_view = false;
        // Its own records say what they can; the set's id is not its.
        if (ShowVolume(left, nullptr) != kExitSuccess) code = kExitFailure;
        std::printf("not in set     left over after the last volume of %s\n",
                    PrintableText(stripe.prefix).c_str());
      }
    }
  }
  return code;
}

}  // namespace

int RunLabelsCommand(int argc, char **argv) {
  const std::string command = "labels";
  ParsedArgs args;
  if (const int code = ReadCommandArgs(command, LabelsOptions(), argc, argv,
                                       PrintLabelsHelp, &args);
      code >= 0)
    return code;
  if (args.operands().empty()) {
    return UsageError(command, "give a VOLUME file, several, or a SET");
  }
  int code = kExitSuccess;
  bool first_view = true;
  for (const std::string &operand : args.operands()) {
    struct stat st;
    // A volume file is shown as it is; a directory, or a name that is no
    // file, is taken as a set's place or prefix.
    const bool file = stat(operand.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    int one = kExitSuccess;
    if (file) {
      if (!first_view) std::printf("\n");
      first_view = false;
      one = ShowVolume(operand, nullptr);
    } else {
      one = ShowSets(operand, &first_view);
    }
    if (one != kExitSuccess) code = one;
  }
  return code;
}

}  // namespace cli
}  // namespace kor
