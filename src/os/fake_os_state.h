// The state of the scripted OS layer (fake_os.h), shared by the files that
// implement it: fake_os.cc (scripting, time, environment, output),
// fake_os_files.cc (files) and fake_os_tape.cc (tape drives).  Tests only.
//
// One mutex guards everything, so library calls from several threads see
// a consistent world; on_sleep runs without it, so it may call back in.
// A FakeTapeDrive reference handed to a test is the live drive: tests
// change it between library calls, not during them.
#ifndef KORBR_OS_FAKE_OS_STATE_H_
#define KORBR_OS_FAKE_OS_STATE_H_

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "os/fake_os.h"
#include "os/win32_codes.h"
#include "rules/tape_name_rules.h"

namespace kor {
namespace fake {

// FILE_SHARE_READ and FILE_SHARE_WRITE.
constexpr uint32_t kShareRead = 1;
constexpr uint32_t kShareWrite = 2;

constexpr uint64_t kDefaultFreeSpace = uint64_t{1} << 40;  // 1 TiB

inline bool IsDeviceName(const std::string &name) {
  return HasTapePrefix(name);
}

using Content = std::vector<uint8_t>;

}  // namespace fake

struct FakeOs::OpenEntry {
  std::string name;                        // as opened
  uint32_t access = 0;                     // kGenericRead / kGenericWrite bits
  uint32_t share = 0;                      // FILE_SHARE_* bits
  bool tape = false;                       // a "\\.\" drive rather than a file
  std::shared_ptr<fake::Content> content;  // files: the data, kept alive by the
                                           // handle even if the name is removed
  size_t position = 0;                     // files: next byte to read or write
};

struct FakeOs::Impl {
  mutable std::mutex mu;
  std::map<OsCall, int> counts;  // calls made, per kind
  std::vector<Fault> faults;     // in injection order
  std::map<std::string, std::shared_ptr<fake::Content>> files;
  std::set<std::string> directories;
  std::map<OsHandle, OpenEntry> open;  // live handles
  OsHandle next_handle = 1;            // never reused
  uint64_t free_space = fake::kDefaultFreeSpace;
  std::string cwd;
  std::map<std::string, std::string> env;
  std::map<std::string, FakeTapeDrive> tapes;  // map: references stay valid
  uint64_t slept_ms = 0;
  int sleep_calls = 0;
  uint32_t tick = 0;
  ProcessTimes times;
  uint64_t times_step = 0;
  std::vector<std::string> trace;
  std::map<std::string, std::vector<WriteExtent>> writes;  // per file name
  std::vector<std::string> abandoned;                      // names, in order

  // Counts a call of `call` and returns the fault that hits it, if any.
  // The first injected fault covering the occurrence wins.
  const Fault *Hit(OsCall call) {
    const int occurrence = ++counts[call];
    for (const Fault &fault : faults) {
      if (fault.call != call || occurrence < fault.first) continue;
      if (fault.times < 0 || occurrence < fault.first + fault.times) {
        return &fault;
      }
    }
    return nullptr;
  }

  OpenEntry *Entry(OsHandle handle) {
    auto it = open.find(handle);
    return it == open.end() ? nullptr : &it->second;
  }

  // The entry of `handle`, or null with *error 6 (invalid handle).
  OpenEntry *Entry(OsHandle handle, uint32_t *error) {
    OpenEntry *entry = Entry(handle);
    if (entry == nullptr) *error = kErrorInvalidHandle;
    return entry;
  }

  // Counts a read or write of kind `call`: false with *error when a fault
  // fails it, else true with *length cut to what a fault lets through.
  bool Transfer(OsCall call, uint32_t *length, uint32_t *error) {
    const Fault *fault = Hit(call);
    if (fault == nullptr) return true;
    if (fault->transfer < 0) {
      *error = fault->error;
      return false;
    }
    *length =
        static_cast<uint32_t>(std::min<int64_t>(*length, fault->transfer));
    return true;
  }

  // Windows sharing: each side's access must be allowed by the other's
  // share mode.
  bool SharingConflict(const std::string &name, uint32_t access,
                       uint32_t share) const {
    for (const auto &item : open) {
      const OpenEntry &other = item.second;
      if (other.name != name) continue;
      if ((access & kGenericRead) && !(other.share & fake::kShareRead))
        return true;
      if ((access & kGenericWrite) && !(other.share & fake::kShareWrite))
        return true;
      if ((other.access & kGenericRead) && !(share & fake::kShareRead))
        return true;
      if ((other.access & kGenericWrite) && !(share & fake::kShareWrite))
        return true;
    }
    return false;
  }

  // The drive behind a tape handle, or null with the Win32 code that a
  // tape request on `handle` gets.
  FakeTapeDrive *Drive(OsHandle handle, uint32_t *error) {
    const OpenEntry *entry = Entry(handle);
    if (entry == nullptr) {
      *error = kErrorInvalidHandle;
      return nullptr;
    }
    if (!entry->tape) {
      *error = kErrorInvalidFunction;
      return nullptr;
    }
    return &tapes[entry->name];
  }

  // The loaded cartridge of a drive, or null (no media: 1112).
  static FakeCartridge *Loaded(FakeTapeDrive *drive) {
    if (drive->loaded < 0 ||
        static_cast<size_t>(drive->loaded) >= drive->cartridges.size()) {
      return nullptr;
    }
    return &drive->cartridges[drive->loaded];
  }

  // Writing on tape destroys everything after the position.
  static void Truncate(FakeTapeDrive *drive, FakeCartridge *cartridge) {
    if (drive->position < cartridge->records.size()) {
      cartridge->records.resize(drive->position);
    }
  }

  bool ReadTape(OsHandle handle, uint8_t *buffer, uint32_t length,
                uint32_t *done, uint32_t *error);
  bool WriteTape(OsHandle handle, const uint8_t *buffer, uint32_t length,
                 uint32_t *done, uint32_t *error);
};

}  // namespace kor

#endif  // KORBR_OS_FAKE_OS_STATE_H_
