// Files of the scripted OS layer (fake_os.h): an in-memory file system
// with Windows sharing and creation rules, fault injection on every call,
// and a record of the writes each file received.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "os/fake_os.h"
#include "os/fake_os_state.h"
#include "os/win32_codes.h"

namespace kor {

namespace {

// CreateFile creation values that the core does not use but a fake should
// still answer as Windows does.
constexpr uint32_t kCreateNew = 1;
constexpr uint32_t kOpenAlways = 4;
constexpr uint32_t kTruncateExisting = 5;

}  // namespace

using fake::Content;
using fake::IsDeviceName;

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
  if (!impl_->Transfer(OsCall::kReadFile, &length, error)) return false;
  OpenEntry *entry = impl_->Entry(handle, error);
  if (entry == nullptr) return false;
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
  if (!impl_->Transfer(OsCall::kWriteFile, &length, error)) return false;
  OpenEntry *entry = impl_->Entry(handle, error);
  if (entry == nullptr) return false;
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

}  // namespace kor
