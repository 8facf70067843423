// Tape drives of the scripted OS layer (fake_os.h): cartridges of records
// and tape marks, read and written as a Windows tape driver answers.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "os/fake_os.h"
#include "os/fake_os_state.h"
#include "os/win32_codes.h"

namespace kor {

uint64_t FakeCartridge::BytesUsed() const {
  uint64_t used = 0;
  for (const Record &record : records) used += record.data.size();
  return used;
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

}  // namespace kor
