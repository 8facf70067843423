// Finding the backup sets in a directory or under a prefix, from the
// files alone: the volume labels and korbr's stream header and trailer,
// read where they lie (the start of each stripe's first volume, the end
// of its last), never the data between them.
//
// A disk stripe with prefix P keeps its volumes in P.1, P.2, ...  Files
// are grouped by prefix into stripes, and stripes into sets by the backup
// id of their stream header.  A set is complete when every stripe the
// header announces is there once, each with its volumes 1..n in order
// (every one closed by its labels, the last by EOF1+EOF2) and a trailer
// that agrees with the header and with the bytes the volumes hold.
// Volume files after a stripe's last volume belong to an older, longer
// backup onto the same prefix: they are named, not counted.
#ifndef KORBR_CLI_BACKUP_SETS_H_
#define KORBR_CLI_BACKUP_SETS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/format/label_decode.h"
#include "cli/format/stream_format.h"

namespace kor {
namespace cli {

// Splits a file name "P.N" (N a volume number 1..9999 written without
// leading zeros) into P and N.  False for any other name.
bool SplitVolumeName(const std::string &name, std::string *prefix,
                     int *volume);

// The name of a set whose stripe prefixes are `prefixes`, prefixes[i]
// holding stripe i: the one prefix of a single stripe; the common form with
// "{stripe}" where the stripe numbers stand (as --device writes it); else
// the prefixes joined by ", ".
std::string SetName(const std::vector<std::string> &prefixes);

struct VolumeFile {
  std::string path;
  int number = 0;           // N of P.N
  bool labelled = false;    // VOL1, HDR1 and HDR2 decode
  bool closed = false;      // ends with EOV1+EOV2 or EOF1+EOF2
  VolumeLabels labels;      // when labelled (and closed: the tail too)
  uint64_t file_size = 0;
};

struct StripeFiles {
  std::string prefix;
  std::vector<VolumeFile> volumes;    // by number, this backup's only
  std::vector<std::string> leftovers; // after the last volume
  bool have_header = false;
  StreamHeader header;
  bool have_trailer = false;
  StreamTrailer trailer;
  std::vector<std::string> faults;    // why the stripe is not whole
};

struct FoundSet {
  std::string name;
  bool have_header = false;  // false: stripes without a readable header
  StreamHeader header;       // stripe 0's, or the first found
  std::vector<StripeFiles> stripes;  // by stripe index when known
  bool complete = false;
  std::vector<std::string> faults;   // why not complete
  bool have_input_bytes = false;
  uint64_t input_bytes = 0;   // the stream's length, from a trailer
  uint64_t stored_bytes = 0;  // the volume files' sizes
};

struct SetScan {
  std::vector<FoundSet> sets;
  std::vector<std::string> ignored;  // "FILE: why"
};

// Volumes are read only where their labels, header and trailer lie,
// through a reader of the place they are kept (files on disk, objects on a
// store), so that both are judged by the same code.

// Reads `length` bytes at `offset` of the volume `path` into `buffer`;
// false when they cannot be read.
using VolumeReader = std::function<bool(const std::string &path,
                                        uint64_t offset, uint8_t *buffer,
                                        size_t length)>;

// A volume file or object found where the sets are looked for.
struct FoundVolume {
  std::string path;  // "P.N"
  uint64_t size = 0;
};

// The volumes, stream header and trailer of the one disk stripe whose
// prefix is `prefix` (its volumes are `prefix`.1, .2, ...), judged as
// above; no volumes when there are none.
StripeFiles ReadStripe(const std::string &prefix);

// The same for the stripe `prefix` whose volumes are `volumes` (every one
// named `prefix`.N), read through `read`.
StripeFiles ReadStripeVolumes(const std::string &prefix,
                              const std::vector<FoundVolume> &volumes,
                              const VolumeReader &read);

// The sets among `found`, read through `read`: names that are not P.N
// are skipped, volumes whose labels do not decode go to scan->ignored.
void ScanVolumes(const std::vector<FoundVolume> &found,
                 const VolumeReader &read, SetScan *scan);

// Scans `where`: a directory (every volume file in it) or a prefix (the
// volume files whose name begins with it).  False with *error set when
// the directory cannot be read.
bool ScanBackupSets(const std::string &where, SetScan *scan,
                    std::string *error);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_BACKUP_SETS_H_
