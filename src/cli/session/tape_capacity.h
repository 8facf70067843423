// How much a tape volume may hold, for a backup onto tape.
//
// Without capacity= the library writes a tape volume until the cartridge
// ends, and a write that meets the end of a cartridge fails the backup.
// korbr knows the cartridge size of a virtual drive (its state file), so
// it can give such a stripe a capacity that fits; for any other tape it
// says, when the end comes, what to set.
#ifndef KORBR_CLI_SESSION_TAPE_CAPACITY_H_
#define KORBR_CLI_SESSION_TAPE_CAPACITY_H_

#include <cstdint>
#include <string>

namespace kor {
namespace cli {

// The largest capacity= (KB, a value the library keeps as it is) whose
// volumes fit on a cartridge of `cartridge_bytes` image bytes written in
// blocks of `blocksize` bytes: every block framed as a record, the last
// request allowed past the budget by up to a block, the closing labels
// and the tape marks beyond it.  0 when not even the smallest volume fits.
int64_t FittingCapacityKb(uint64_t cartridge_bytes, uint32_t blocksize);

// The cartridge size of the virtual drive that the tape stripe `devstring`
// names; false for a disk, an st drive or a drive that is not there.
bool VirtualCartridgeBytes(const std::string &devstring, uint64_t *bytes);

// `devstring` with a capacity that fits its virtual drive's cartridges
// appended when it is a tape stripe on a virtual drive without capacity=;
// *note says so in one line.  Otherwise `devstring` as it is and *note "".
std::string WithFittingCapacity(const std::string &devstring,
                                std::string *note);

// What a tape stripe whose write met the end of the cartridge should have
// set: "" for a disk stripe.
std::string EndOfTapeAdvice(const std::string &devstring);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_TAPE_CAPACITY_H_
