// Where a stripe's bytes lie, for messages that name the volume file
// rather than the stripe's prefix.
//
// A disk stripe with devname PREFIX keeps its volumes in PREFIX.1,
// PREFIX.2, ...; each holds whole requests between its head labels and its
// tail labels (label_decode.h).  Walking the files in order and adding up
// their data bytes finds the volume that holds a given byte of the
// stripe's request stream.  The host learns this from the files alone: the
// library does not report volume positions.
#ifndef KORBR_CLI_VOLUME_LOCATOR_H_
#define KORBR_CLI_VOLUME_LOCATOR_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace cli {

// True for a tape device name ("\\.\NAME").
bool IsTapeDevname(const std::string &devname);

// A disk devname as the library opens it: a relative name joined to the
// current directory.
std::string AbsoluteDevname(const std::string &devname);

// The volume file of disk prefix `devname` whose data holds byte `offset`
// of the stripe's request stream (the last volume when the offset lies
// past all of them); "" when that cannot be told (a tape, a missing
// volume before it).
std::string DiskVolumeAt(const std::string &devname, uint64_t offset);

// Volume files beyond the last volume of the disk stripe `devname` (the
// first one whose tail labels say EOF): left over from an earlier, longer
// backup onto the same prefix.  Their names, in order; empty when none.
std::vector<std::string> LeftoverVolumes(const std::string &devname);

// The volume file a backup onto disk prefix `devname` is writing: the
// first one without tail labels, since every earlier volume of the backup
// was closed with them (and an older backup's leftovers come only after
// it).  "" when every volume file is closed, or there is none.
std::string DiskVolumeBeingWritten(const std::string &devname);

// True when the volume file at `path` exists but does not end with its
// closing labels (EOV1+EOV2 or EOF1+EOF2): it was cut short, or its
// backup never finished writing it.
bool VolumeCutShort(const std::string &path);

// What a disk volume file whose name says volume `volume` of stripe
// `stripe` holds instead, from its VOL1 label: "volume V of stripe S", or
// "" when it holds the volume its name says or its labels cannot be read.
// The labels name no backup: which backup a volume belongs to only its
// data can tell.
std::string VolumeHeldInstead(const std::string &path, int stripe, int volume);

// The directory a disk volume file of `devname` lies in.
std::string VolumeDirectory(const std::string &devname);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_VOLUME_LOCATOR_H_
