// Tape volume capacities that fit the cartridge.
#include "cli/session/tape_capacity.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "cli/format/volume_locator.h"
#include "cli/options/device_list.h"
#include "cli/session/wait_diagnosis.h"
#include "rules/device_string_rules.h"
#include "rules/tape_name_rules.h"
#include "rules/vtape_state_format.h"

namespace kor {
namespace cli {
namespace {

// A record on a virtual cartridge: its length word before and after, the
// data padded to an even length.
uint64_t RecordBytes(uint32_t length) {
  return 8 + static_cast<uint64_t>(length) + (length & 1u);
}

// Room left on a cartridge past the volume's budget: tape marks and the
// end-of-data mark, generously.
constexpr uint64_t kMarkBytes = 64;

uint32_t TapeBlockSize(const std::string &devstring) {
  const std::string value = DeviceStringValue(devstring, "blocksize");
  const long long size =
      value.empty() ? kDefaultBlockSize : std::strtoll(value.c_str(), nullptr, 10);
  return TapeBlockSizeFits(size) ? static_cast<uint32_t>(size)
                                 : static_cast<uint32_t>(kDefaultBlockSize);
}

}  // namespace

int64_t FittingCapacityKb(uint64_t cartridge_bytes, uint32_t blocksize) {
  if (blocksize == 0 || cartridge_bytes <= kMarkBytes) return 0;
  const uint64_t blocks = (cartridge_bytes - kMarkBytes) / RecordBytes(blocksize);
  // One block the last request may take beyond the budget, one for the
  // closing labels (written whatever the budget says), one to spare.
  if (blocks <= 3) return 0;
  const uint64_t budget_kb = (blocks - 3) * blocksize / 1024;
  if (budget_kb > static_cast<uint64_t>(INT32_MAX)) {
    return CapacityKbKept(INT32_MAX);
  }
  const int64_t kb = static_cast<int64_t>(budget_kb);
  return kb < kMinCapacityKb ? 0 : CapacityKbKept(kb);
}

bool VirtualCartridgeBytes(const std::string &devstring, uint64_t *bytes) {
  const std::string devname = DevnameOf(devstring);
  if (!IsTapeDevname(devname)) return false;
  const std::string name = TapeEntryName(devname);
  if (name.empty() || name.find_first_of("/\\") != std::string::npos ||
      name == "." || name == "..") {
    return false;
  }
  const std::string drive = TapeDeviceDirectory() + "/" + name;
  struct stat st;
  if (stat(drive.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  std::ifstream in(drive + "/" + kVtapeStateFile);
  std::string line, key, value;
  while (std::getline(in, line)) {
    if (SplitVtapeStateLine(line, &key, &value) == VtapeLine::kPair &&
        key == kVtapeKeyCapacity) {
      char *end = nullptr;
      *bytes = std::strtoull(value.c_str(), &end, 10);
      return !value.empty() && *end == '\0' && *bytes > 0;
    }
  }
  return false;
}

std::string WithFittingCapacity(const std::string &devstring,
                                std::string *note) {
  note->clear();
  uint64_t cartridge = 0;
  if (!DeviceStringValue(devstring, "capacity").empty() ||
      !VirtualCartridgeBytes(devstring, &cartridge)) {
    return devstring;
  }
  const int64_t kb = FittingCapacityKb(cartridge, TapeBlockSize(devstring));
  if (kb == 0) return devstring;
  *note = DevnameOf(devstring) + " is a virtual drive with cartridges of " +
          std::to_string(cartridge / 1024) +
          " KB and no capacity= was given: using capacity=" +
          std::to_string(kb) + " so that every volume fits on a cartridge";
  const bool separated = !devstring.empty() && devstring.back() == ';';
  return devstring + (separated ? "" : ";") + "capacity=" +
         std::to_string(kb);
}

std::string EndOfTapeAdvice(const std::string &devstring) {
  if (!IsTapeDevname(DevnameOf(devstring))) return "";
  const std::string given = DeviceStringValue(devstring, "capacity");
  uint64_t cartridge = 0;
  const bool known = VirtualCartridgeBytes(devstring, &cartridge);
  std::string size;
  if (known) {
    const int64_t fits = FittingCapacityKb(cartridge, TapeBlockSize(devstring));
    size = "; its cartridges hold " + std::to_string(cartridge / 1024) + " KB" +
           (fits > 0 ? ": capacity=" + std::to_string(fits) + " fits them"
                     : ", less than the smallest volume with blocks of " +
                           std::to_string(TapeBlockSize(devstring)) +
                           " bytes: use larger cartridges or a smaller "
                           "blocksize=");
  }
  if (given.empty()) {
    return "the volume met the end of the cartridge: without capacity= a "
           "tape volume is written until the cartridge ends, and that fails "
           "the backup; set capacity= in the device string to a little less "
           "than a cartridge holds, in KB" +
           size;
  }
  return "the volume met the end of the cartridge before capacity=" + given +
         " KB were written: set capacity= to a little less than a cartridge "
         "holds, in KB" +
         size;
}

}  // namespace cli
}  // namespace kor
