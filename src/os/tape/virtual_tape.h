// Virtual tape drives: a directory that behaves like a tape drive with a
// set of numbered cartridges, so tape backups run and can be tested
// without tape hardware.
//
// Directory layout (made by `korbr vtape create`):
//
//   DRIVE/korbr-vtape.state   the drive's state, key=value lines
//   DRIVE/korbr-vtape.lock    flock()ed while the state is changed
//   DRIVE/cartridge-1.tap     one SIMH tape image per cartridge (simh_image.h)
//   DRIVE/cartridge-2.tap     ...
//
// State file (text; '#' starts a comment line; unknown keys are ignored):
//
//   cartridges=3          cartridges the drive holds, numbered from 1
//   capacity=1048576      length of every cartridge: image bytes, framing
//                         included
//   min_block=1           the drive's smallest and largest block (record)
//   max_block=16777215    size, 1 <= min <= max <= 0x00FFFFFF
//   mode=manual           manual: unloading leaves the drive empty;
//                         stacker: unloading loads the next cartridge
//   loaded=1              cartridge in the drive, 0 = empty
//   generation=7          raised by every load and unload, so an open
//                         drive notices a cartridge swapped behind it
//   protected=2,3         write-protected cartridges
//
// The state file is replaced whole (written to a temporary file, then
// renamed over it) while korbr-vtape.lock is held, so a reader never sees
// half a state and two processes (the library unloading, an operator's
// `korbr vtape load`) never lose each other's change.
//
// The drive, as an open handle (OpenVirtualDrive), behaves as a Windows tape
// driver does: a record per write, records of at most 0x00FFFFFF bytes;
// writing at a position discards everything after it; a record that would
// take the image beyond the capacity fails with 1100 and writes nothing
// (file marks are always written: a real drive keeps room for them past its
// early-warning point); reading a file mark fails with 1101 and moves past
// it; reading past the recorded data or at an end-of-medium word fails with
// 1104; a write-protected cartridge refuses writes with 19; an empty drive
// answers 1112.  The image is a valid SIMH image whenever no write is in
// progress.  The state is read again at every status query and whenever
// the state file changed, so a cartridge loaded from a shell is seen at the
// next poll.
#ifndef KORBR_OS_TAPE_VIRTUAL_TAPE_H_
#define KORBR_OS_TAPE_VIRTUAL_TAPE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/tape/simh_image.h"
#include "os/tape/tape_backend.h"
#include "rules/vtape_state_format.h"  // file names, keys, kVtapeMaxCartridges

namespace kor {

struct VirtualDriveState {
  uint32_t cartridges = 0;
  uint64_t capacity = 0;  // image bytes per cartridge
  uint32_t min_block = 1;
  uint32_t max_block = simh::kMaxRecordLength;
  bool stacker = false;                  // unload loads the next one
  uint32_t loaded = 0;                   // cartridge number, 0 = empty
  uint64_t generation = 0;               // load/unload count
  std::vector<uint32_t> protected_list;  // sorted cartridge numbers

  bool IsProtected(uint32_t cartridge) const;
};

// The text of a state file, and back.  ParseVtapeState checks every value
// and says what is wrong in *why.
std::string FormatVtapeState(const VirtualDriveState &state);
bool ParseVtapeState(const std::string &text, VirtualDriveState *state,
                     std::string *why);

std::string VtapeStatePath(const std::string &drive);
std::string CartridgePath(const std::string &drive, uint32_t cartridge);

// True when `drive` is a directory holding a state file.
bool IsVirtualDrive(const std::string &drive);

// --- Managing a drive (the `korbr vtape` commands) ------------------------
// Each returns true, or false with a one-line reason in *why.

// Makes `drive` (a new or empty directory) a drive with the cartridges of
// `state`, all blank; `state.loaded` and `state.protected_list` are used as
// given (normally empty).
bool CreateVirtualDrive(const std::string &drive,
                        const VirtualDriveState &state, std::string *why);
bool ReadVirtualDrive(const std::string &drive, VirtualDriveState *state,
                      std::string *why);
// Reads the state under the drive's lock, lets `change` edit it (it may
// refuse with false and a reason) and writes it back atomically.
bool UpdateVirtualDrive(
    const std::string &drive,
    const std::function<bool(VirtualDriveState *, std::string *)> &change,
    std::string *why);
// Puts cartridge `cartridge` in the drive (replacing any other) at its
// beginning.
bool LoadCartridge(const std::string &drive, uint32_t cartridge,
                   std::string *why);
// Takes the cartridge out, whatever the mode: the drive is empty after it.
bool UnloadCartridge(const std::string &drive, std::string *why);
bool SetWriteProtect(const std::string &drive, uint32_t cartridge, bool on,
                     std::string *why);

// Walks the objects of a cartridge image in order.  `head` holds the first
// bytes of a record's data (at most `head_limit`).  Returns true when the
// walk reached the end of the image or an end-of-medium word; false with a
// reason (a damaged or truncated object, an unreadable file), after
// visiting the objects before it.
bool ScanCartridgeImage(
    const std::string &path, size_t head_limit,
    const std::function<void(const simh::Object &, const uint8_t *head,
                             size_t head_size)> &visit,
    std::string *why);

// --- The drive as an open device -------------------------------------------
// Opens the drive in `drive` for ReadFile/WriteFile and the tape calls.  An
// empty drive opens (its status is then 1112).  Without `writable`, writes
// fail with 5; with `exclusive`, a second exclusive opener is refused with
// 32 (sharing violation) while this one is open.  Null with *error set when
// the directory is not a drive or cannot be opened.
std::unique_ptr<TapeBackend> OpenVirtualDrive(const std::string &drive,
                                              bool writable, bool exclusive,
                                              uint32_t *error);

}  // namespace kor

#endif  // KORBR_OS_TAPE_VIRTUAL_TAPE_H_
