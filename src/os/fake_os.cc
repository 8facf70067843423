// The scripted OS layer of the tests.
//
// Divisions: the state (Impl, OpenEntry); fault matching; scripting
// methods; files; tape drives; time, environment and output;
// ScopedFakeOs.
//
// One mutex guards everything, so library calls from several threads see
// a consistent world; on_sleep runs without it, so it may call back in.
// A FakeTapeDrive reference handed to a test is the live drive: tests
// change it between library calls, not during them.
#include "os/fake_os.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "os/win32_codes.h"
#include "rules/tape_name_rules.h"

namespace kor {
namespace {

// ERROR_INVALID_FUNCTION: what a tape request on a plain file gets.
constexpr uint32_t kErrorInvalidFunction = 1;
// CreateFile creation values that the core does not use but a fake should
// still answer as Windows does.
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;
// FILE_SHARE_READ and FILE_SHARE_WRITE.
constexpr uint32_t kShareRead = 1;
constexpr uint32_t kShareWrite = 2;

constexpr uint64_t kDefaultFreeSpace = uint64_t{1} << 40;  // 1 TiB

bool IsDeviceName(const std::string &name) { return HasTapePrefix(name); }

using Content = std::vector<uint8_t>;

}  // namespace

uint64_t FakeCartridge::BytesUsed() const {
  uint64_t used = 0;
  for (const Record &record : records) used += record.data.size();
  return used;
}

struct FakeOs::OpenEntry {
  std::string name;                  // as opened
  uint32_t access = 0;               // kGenericRead / kGenericWrite bits
  uint32_t share = 0;                // FILE_SHARE_* bits
  bool tape = false;                 // a "\\.\" drive rather than a file
  std::shared_ptr<Content> content;  // files: the data, kept alive by the
                                     // handle even if the name is removed
  size_t position = 0;               // files: next byte to read or write
};

struct FakeOs::Impl {
  mutable std::mutex mu;
  std::map<OsCall, int> counts;                  // calls made, per kind
  std::vector<Fault> faults;                     // in injection order
  std::map<std::string, std::shared_ptr<Content>> files;
  std::set<std::string> directories;
  std::map<OsHandle, OpenEntry> open;            // live handles
  OsHandle next_handle = 1;                      // never reused
  uint64_t free_space = kDefaultFreeSpace;
  std::string cwd;
  std::map<std::string, std::string> env;
  std::map<std::string, FakeTapeDrive> tapes;    // map: references stay valid
  uint64_t slept_ms = 0;
  int sleep_calls = 0;
  uint32_t tick = 0;
  ProcessTimes times;
  uint64_t times_step = 0;
  std::vector<std::string> trace;
  std::map<std::string, std::vector<WriteExtent>> writes;  // per file name
  std::vector<std::string> abandoned;            // names, in order

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

  // Windows sharing: each side's access must be allowed by the other's
  // share mode.
  bool SharingConflict(const std::string &name, uint32_t access,
                       uint32_t share) const {
    for (const auto &item : open) {
      const OpenEntry &other = item.second;
      if (other.name != name) continue;
      if ((access & kGenericRead) && !(other.share & kShareRead)) return true;
      if ((access & kGenericWrite) && !(other.share & kShareWrite)) return true;
      if ((other.access & kGenericRead) && !(share & kShareRead)) return true;
      if ((other.access & kGenericWrite) && !(share & kShareWrite)) return true;
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

// --- Construction and scripting ------------------------------------------

FakeOs::FakeOs(PathStyle style) : impl_(new Impl), style_(style) {
  impl_->cwd = style == PathStyle::kWindows ? "C:\\work" : "/work";
}

FakeOs::~FakeOs() { delete impl_; }

void FakeOs::Inject(const Fault &fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.push_back(fault);
}

void FakeOs::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.clear();
}

int FakeOs::Count(OsCall call) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->counts.find(call);
  return it == impl_->counts.end() ? 0 : it->second;
}

void FakeOs::AddFile(const std::string &name, std::vector<uint8_t> content) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::shared_ptr<Content> &file = impl_->files[name];
  // In place when the file exists, so open handles see the new content.
  if (file) {
    *file = std::move(content);
  } else {
    file = std::make_shared<Content>(std::move(content));
  }
}

void FakeOs::AddDirectory(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->directories.insert(name);
}

bool FakeOs::HasFile(const std::string &name) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->files.count(name) != 0;
}

std::vector<uint8_t> FakeOs::FileContent(const std::string &name) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->files.find(name);
  return it == impl_->files.end() ? Content() : *it->second;
}

void FakeOs::RemoveFile(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->files.erase(name);
}

std::vector<std::string> FakeOs::FileNames() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<std::string> names;
  for (const auto &item : impl_->files) names.push_back(item.first);
  return names;
}

std::vector<std::string> FakeOs::AbandonedFiles() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->abandoned;
}

int FakeOs::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return static_cast<int>(impl_->open.size());
}

void FakeOs::SetFreeSpace(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->free_space = bytes;
}

void FakeOs::SetCurrentDirectory(const std::string &directory) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->cwd = directory;
}

void FakeOs::SetEnv(const std::string &name, const std::string &value) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->env[name] = value;
}

void FakeOs::UnsetEnv(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->env.erase(name);
}

FakeTapeDrive &FakeOs::AddTapeDrive(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  FakeTapeDrive &drive = impl_->tapes[name];
  drive = FakeTapeDrive();
  return drive;
}

// A name never added gets a new, empty drive, like AddTapeDrive.
FakeTapeDrive &FakeOs::TapeDrive(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->tapes[name];
}

uint64_t FakeOs::SleptMilliseconds() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->slept_ms;
}

int FakeOs::SleepCalls() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sleep_calls;
}

void FakeOs::SetTickCount(uint32_t ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->tick = ms;
}

void FakeOs::SetProcessTimes(const ProcessTimes &times, uint64_t step) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->times = times;
  impl_->times_step = step;
}

std::vector<std::string> FakeOs::TraceLines() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->trace;
}

std::string FakeOs::TraceText() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::string text;
  for (const std::string &line : impl_->trace) text += line;
  return text;
}

void FakeOs::ClearTrace() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->trace.clear();
}

// --- Files -----------------------------------------------------------------

OsHandle FakeOs::OpenFile(const std::string &name, uint32_t access,
                          uint32_t share, uint32_t creation,
                          uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kOpenFile)) {
    *error = fault->error;
    return kInvalidOsHandle;
  }
  OpenEntry entry;
  entry.name = name;
  entry.access = access;
  entry.share = share;
  if (IsDeviceName(name)) {
    auto drive = impl_->tapes.find(name);
    if (drive == impl_->tapes.end()) {
      *error = kErrorFileNotFound;
      return kInvalidOsHandle;
    }
    if (impl_->SharingConflict(name, access, share)) {
      *error = kErrorSharingViolation;
      return kInvalidOsHandle;
    }
    entry.tape = true;
    ++drive->second.open_count;
  } else {
    if (impl_->directories.count(name) != 0) {
      *error = kErrorAccessDenied;
      return kInvalidOsHandle;
    }
    auto file = impl_->files.find(name);
    const bool exists = file != impl_->files.end();
    switch (creation) {
      case kOpenExisting:
      case kTruncateExisting:
        if (!exists) {
          *error = kErrorFileNotFound;
          return kInvalidOsHandle;
        }
        break;
      case kCreateNew:
        if (exists) {
          *error = kErrorFileExists;
          return kInvalidOsHandle;
        }
        break;
      case kCreateAlways:
      case kOpenAlways:
        break;
      default:
        *error = kErrorInvalidParameter;
        return kInvalidOsHandle;
    }
    // Refused before anything is created or truncated.
    if (impl_->SharingConflict(name, access, share)) {
      *error = kErrorSharingViolation;
      return kInvalidOsHandle;
    }
    // CREATE_ALWAYS gives a new file, as both real layers do: a handle
    // still open on the old one keeps its bytes.
    if (!exists) {
      file = impl_->files.emplace(name, std::make_shared<Content>()).first;
    } else if (creation == kCreateAlways) {
      file->second = std::make_shared<Content>();
    } else if (creation == kTruncateExisting) {
      file->second->clear();
    }
    if (!exists || creation == kCreateAlways || creation == kTruncateExisting)
      impl_->writes.erase(name);
    entry.content = file->second;
  }
  const OsHandle handle = impl_->next_handle++;
  impl_->open.emplace(handle, std::move(entry));
  return handle;
}

bool FakeOs::ReadFile(OsHandle handle, void *buffer, uint32_t length,
                      uint32_t *done, uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *done = 0;
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kReadFile)) {
    if (fault->transfer < 0) {
      *error = fault->error;
      return false;
    }
    length = static_cast<uint32_t>(
        std::min<int64_t>(length, fault->transfer));
  }
  OpenEntry *entry = impl_->Entry(handle);
  if (entry == nullptr) {
    *error = kErrorInvalidHandle;
    return false;
  }
  uint8_t *bytes = static_cast<uint8_t *>(buffer);
  if (entry->tape) return impl_->ReadTape(handle, bytes, length, done, error);
  if (!(entry->access & kGenericRead)) {
    *error = kErrorAccessDenied;
    return false;
  }
  const Content &content = *entry->content;
  const size_t left =
      entry->position < content.size() ? content.size() - entry->position : 0;
  const size_t count = std::min<size_t>(length, left);
  if (count > 0) std::memcpy(bytes, content.data() + entry->position, count);
  entry->position += count;
  *done = static_cast<uint32_t>(count);
  return true;
}

bool FakeOs::WriteFile(OsHandle handle, const void *buffer, uint32_t length,
                       uint32_t *done, uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *done = 0;
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kWriteFile)) {
    if (fault->transfer < 0) {
      *error = fault->error;
      return false;
    }
    length = static_cast<uint32_t>(
        std::min<int64_t>(length, fault->transfer));
  }
  OpenEntry *entry = impl_->Entry(handle);
  if (entry == nullptr) {
    *error = kErrorInvalidHandle;
    return false;
  }
  const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
  if (entry->tape) return impl_->WriteTape(handle, bytes, length, done, error);
  if (!(entry->access & kGenericWrite)) {
    *error = kErrorAccessDenied;
    return false;
  }
  impl_->writes[entry->name].push_back({entry->position, length});
  Content &content = *entry->content;
  const size_t end = entry->position + length;
  if (content.size() < end) content.resize(end);
  if (length > 0) std::memcpy(content.data() + entry->position, bytes, length);
  entry->position = end;
  *done = length;
  return true;
}

bool FakeOs::WriteGather(OsHandle handle, const ByteSlice *slices, int count,
                         uint32_t *done, uint32_t *error) {
  *done = 0;
  *error = 0;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    OpenEntry *entry = impl_->Entry(handle);
    if (entry != nullptr && entry->tape) {
      *error = kErrorInvalidParameter;
      return false;
    }
  }
  std::vector<uint8_t> joined;
  for (int i = 0; i < count; ++i) {
    const uint8_t *bytes = static_cast<const uint8_t *>(slices[i].data);
    joined.insert(joined.end(), bytes, bytes + slices[i].length);
  }
  // Through the virtual WriteFile, so that a test's override of it sees
  // gathered writes too.
  return WriteFile(handle, joined.data(), static_cast<uint32_t>(joined.size()),
                   done, error);
}

bool FakeOs::FlushFile(OsHandle handle, uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kFlushFile)) {
    *error = fault->error;
    return false;
  }
  if (impl_->Entry(handle) == nullptr) {
    *error = kErrorInvalidHandle;
    return false;
  }
  return true;
}

bool FakeOs::CheckFileNamed(OsHandle handle, uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kCheckFileNamed)) {
    *error = fault->error;
    return false;
  }
  const OpenEntry *entry = impl_->Entry(handle);
  if (entry == nullptr) {
    *error = kErrorInvalidHandle;
    return false;
  }
  if (entry->tape) return true;
  auto file = impl_->files.find(entry->name);
  if (file == impl_->files.end() || file->second != entry->content) {
    *error = kErrorFileInvalid;
    return false;
  }
  return true;
}

void FakeOs::StartWriteback(OsHandle /*handle*/, uint64_t /*offset*/,
                            uint64_t /*length*/) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Hit(OsCall::kStartWriteback);
}

void FakeOs::DropFromCache(OsHandle /*handle*/, uint64_t /*offset*/,
                           uint64_t /*length*/) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Hit(OsCall::kDropFromCache);
}

void FakeOs::ExpectSequentialReads(OsHandle /*handle*/) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Hit(OsCall::kExpectSequentialReads);
}

bool FakeOs::FlushDirectory(const std::string & /*file_name*/,
                            uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kFlushDirectory)) {
    *error = fault->error;
    return false;
  }
  return true;
}

std::vector<WriteExtent> FakeOs::WritesTo(const std::string &name) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->writes.find(name);
  return it == impl_->writes.end() ? std::vector<WriteExtent>{} : it->second;
}

bool FakeOs::CloseHandle(OsHandle handle, uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  const Fault *fault = impl_->Hit(OsCall::kCloseHandle);
  // An interrupted close has still closed the handle, as on Windows; any
  // other injected failure leaves it open.
  if (fault != nullptr && fault->error != kErrorOperationAborted) {
    *error = fault->error;
    return false;
  }
  auto it = impl_->open.find(handle);
  const bool found = it != impl_->open.end();
  if (found) {
    if (it->second.tape) {
      auto drive = impl_->tapes.find(it->second.name);
      if (drive != impl_->tapes.end()) --drive->second.open_count;
    }
    impl_->open.erase(it);
  }
  if (fault != nullptr) {
    *error = fault->error;
    return false;
  }
  if (!found) {
    *error = kErrorInvalidHandle;
    return false;
  }
  return true;
}

bool FakeOs::GetFileSize(OsHandle handle, uint64_t *size, uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kGetFileSize)) {
    *error = fault->error;
    return false;
  }
  const OpenEntry *entry = impl_->Entry(handle);
  if (entry == nullptr) {
    *error = kErrorInvalidHandle;
    return false;
  }
  if (entry->tape) {
    *error = kErrorInvalidFunction;
    return false;
  }
  *size = entry->content->size();
  return true;
}

bool FakeOs::AbandonFile(OsHandle handle, uint32_t *error) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (const OpenEntry *entry = impl_->Entry(handle))
      impl_->abandoned.push_back(entry->name);
  }
  return CloseHandle(handle, error);
}

uint32_t FakeOs::GetFileAttributes(const std::string &name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->Hit(OsCall::kGetFileAttributes) != nullptr) {
    return kInvalidFileAttributes;
  }
  if (impl_->directories.count(name) != 0) return kFileAttributeDirectory;
  if (impl_->files.count(name) != 0) return kFileAttributeNormal;
  return kInvalidFileAttributes;
}

bool FakeOs::GetDiskFreeSpace(const std::string & /*directory*/,
                              uint64_t *free_bytes, uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kGetDiskFreeSpace)) {
    *error = fault->error;
    return false;
  }
  *free_bytes = impl_->free_space;
  return true;
}

bool FakeOs::GetCurrentDirectory(std::string *directory) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->Hit(OsCall::kGetCurrentDirectory) != nullptr) return false;
  if (impl_->cwd.empty()) return false;
  *directory = impl_->cwd;
  return true;
}

std::string FakeOs::SystemErrorText(uint32_t code) {
  return "system text " + std::to_string(code);
}

// --- Tape drives -----------------------------------------------------------

bool FakeOs::Impl::ReadTape(OsHandle handle, uint8_t *buffer, uint32_t length,
                            uint32_t *done, uint32_t *error) {
  FakeTapeDrive *drive = Drive(handle, error);
  FakeCartridge *cartridge = Loaded(drive);
  if (cartridge == nullptr) {
    *error = kErrorNoMediaInDrive;
    return false;
  }
  if (drive->position >= cartridge->records.size()) {
    *error = kErrorNoDataDetected;
    return false;
  }
  const FakeCartridge::Record &record = cartridge->records[drive->position];
  ++drive->position;  // past the mark, or past the record even if cut
  if (record.tapemark) {
    *error = kErrorFilemarkDetected;
    return false;
  }
  const size_t count = std::min<size_t>(length, record.data.size());
  if (count > 0) std::memcpy(buffer, record.data.data(), count);
  *done = static_cast<uint32_t>(count);
  return true;
}

bool FakeOs::Impl::WriteTape(OsHandle handle, const uint8_t *buffer,
                             uint32_t length, uint32_t *done,
                             uint32_t *error) {
  FakeTapeDrive *drive = Drive(handle, error);
  FakeCartridge *cartridge = Loaded(drive);
  if (cartridge == nullptr) {
    *error = kErrorNoMediaInDrive;
    return false;
  }
  if (cartridge->write_protected) {
    *error = kErrorWriteProtect;
    return false;
  }
  Truncate(drive, cartridge);
  if (length == 0) return true;  // no record for an empty write
  const uint64_t used = cartridge->BytesUsed();
  if (used > cartridge->capacity || length > cartridge->capacity - used) {
    *error = kErrorEndOfMedia;
    return false;
  }
  FakeCartridge::Record record;
  record.data.assign(buffer, buffer + length);
  cartridge->records.push_back(std::move(record));
  drive->position = cartridge->records.size();
  *done = length;
  return true;
}

uint32_t FakeOs::GetTapeStatus(OsHandle handle) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (const Fault *fault = impl_->Hit(OsCall::kGetTapeStatus)) {
    return fault->error;
  }
  uint32_t error = 0;
  FakeTapeDrive *drive = impl_->Drive(handle, &error);
  if (drive == nullptr) return error;
  if (Impl::Loaded(drive) == nullptr) return kErrorNoMediaInDrive;
  if (drive->not_ready_polls > 0) {
    --drive->not_ready_polls;
    return kErrorNotReady;
  }
  return 0;
}

bool FakeOs::GetTapeMediaParams(OsHandle handle, TapeMediaParams *params,
                                uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kGetTapeMediaParams)) {
    *error = fault->error;
    return false;
  }
  FakeTapeDrive *drive = impl_->Drive(handle, error);
  if (drive == nullptr) return false;
  const FakeCartridge *cartridge = Impl::Loaded(drive);
  if (cartridge == nullptr) {
    *error = kErrorNoMediaInDrive;
    return false;
  }
  const uint64_t limit = static_cast<uint64_t>(INT64_MAX);
  const uint64_t used = cartridge->BytesUsed();
  const uint64_t remaining =
      used < cartridge->capacity ? cartridge->capacity - used : 0;
  params->capacity = static_cast<int64_t>(std::min(cartridge->capacity, limit));
  params->remaining = static_cast<int64_t>(std::min(remaining, limit));
  params->block_size = drive->block_size;
  params->partition_count = 1;
  params->write_protected = cartridge->write_protected;
  return true;
}

bool FakeOs::GetTapeDriveParams(OsHandle handle, TapeDriveParams *params,
                                uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kGetTapeDriveParams)) {
    *error = fault->error;
    return false;
  }
  // Drive information needs no cartridge.
  FakeTapeDrive *drive = impl_->Drive(handle, error);
  if (drive == nullptr) return false;
  *params = TapeDriveParams();
  params->minimum_block_size = drive->min_block;
  params->maximum_block_size = drive->max_block;
  params->default_block_size =
      std::min(std::max<uint32_t>(65536, drive->min_block), drive->max_block);
  params->maximum_partition_count = 1;
  return true;
}

bool FakeOs::SetTapeBlockSize(OsHandle handle, uint32_t block_size,
                              uint32_t *error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  *error = 0;
  if (const Fault *fault = impl_->Hit(OsCall::kSetTapeBlockSize)) {
    *error = fault->error;
    return false;
  }
  FakeTapeDrive *drive = impl_->Drive(handle, error);
  if (drive == nullptr) return false;
  if (Impl::Loaded(drive) == nullptr) {
    *error = kErrorNoMediaInDrive;
    return false;
  }
  drive->block_size = block_size;
  return true;
}

uint32_t FakeOs::WriteTapemarks(OsHandle handle, uint32_t count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (const Fault *fault = impl_->Hit(OsCall::kWriteTapemarks)) {
    return fault->error;
  }
  uint32_t error = 0;
  FakeTapeDrive *drive = impl_->Drive(handle, &error);
  if (drive == nullptr) return error;
  FakeCartridge *cartridge = Impl::Loaded(drive);
  if (cartridge == nullptr) return kErrorNoMediaInDrive;
  if (cartridge->write_protected) return kErrorWriteProtect;
  Impl::Truncate(drive, cartridge);
  FakeCartridge::Record mark;
  mark.tapemark = true;
  cartridge->records.insert(cartridge->records.end(), count, mark);
  drive->position = cartridge->records.size();
  return 0;
}

uint32_t FakeOs::UnloadTape(OsHandle handle) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (const Fault *fault = impl_->Hit(OsCall::kUnloadTape)) {
    return fault->error;
  }
  uint32_t error = 0;
  FakeTapeDrive *drive = impl_->Drive(handle, &error);
  if (drive == nullptr) return error;
  if (Impl::Loaded(drive) == nullptr) return kErrorNoMediaInDrive;
  drive->position = 0;
  const size_t next = static_cast<size_t>(drive->loaded) + 1;
  drive->loaded = drive->stacker && next < drive->cartridges.size()
                      ? static_cast<int>(next)
                      : -1;
  return 0;
}

// --- Time, environment, output --------------------------------------------

void FakeOs::Sleep(uint32_t milliseconds) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->slept_ms += milliseconds;
    impl_->tick += milliseconds;  // wraps like GetTickCount
    ++impl_->sleep_calls;
  }
  // A copy, so a hook that replaces on_sleep does not destroy itself.
  const std::function<void(FakeOs &)> hook = on_sleep;
  if (hook) hook(*this);
}

uint32_t FakeOs::TickCount() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->tick;
}

bool FakeOs::GetProcessTimes(ProcessTimes *times) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->Hit(OsCall::kGetProcessTimes) != nullptr) return false;
  *times = impl_->times;
  impl_->times.kernel += impl_->times_step;
  impl_->times.user += impl_->times_step;
  return true;
}

bool FakeOs::GetEnv(const std::string &name, std::string *value) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->env.find(name);
  if (it == impl_->env.end()) return false;
  *value = it->second;
  return true;
}

void FakeOs::WriteTraceLine(const std::string &line) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->trace.push_back(line);
}

// --- ScopedFakeOs ----------------------------------------------------------

ScopedFakeOs::ScopedFakeOs(PathStyle style)
    : fake_(style), previous_(SetOsLayerForTesting(&fake_)) {}

ScopedFakeOs::~ScopedFakeOs() { SetOsLayerForTesting(previous_); }

}  // namespace kor
