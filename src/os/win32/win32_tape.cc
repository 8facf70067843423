// The Windows layer's tape calls: status, the media and drive records, the
// block size, file marks and unloading, each the Win32 call of that name.
#include "os/win32/win32_layer.h"
#include "os/win32_codes.h"

namespace kor {

// Both tape query records are 32 bytes with either word size; the size
// passed to GetTapeParameters is the record's own.
static_assert(sizeof(TAPE_GET_MEDIA_PARAMETERS) == 32, "media record");
static_assert(sizeof(TAPE_GET_DRIVE_PARAMETERS) == 32, "drive record");

namespace {

// GetTapeParameters for `operation` into *record: false with *error set.
template <typename Record>
bool QueryTape(OsHandle handle, DWORD operation, Record *record,
               uint32_t *error) {
  if (!UsableHandle(handle, error)) return false;
  // In: the room given; out: the bytes filled.
  DWORD size = sizeof *record;
  *error = ::GetTapeParameters(ToHandle(handle), operation, &size, record);
  return *error == NO_ERROR;
}

}  // namespace

uint32_t Win32Os::GetTapeStatus(OsHandle handle) {
  if (handle == kInvalidOsHandle) return kErrorInvalidHandle;
  return ::GetTapeStatus(ToHandle(handle));
}

bool Win32Os::GetTapeMediaParams(OsHandle handle, TapeMediaParams *params,
                                 uint32_t *error) {
  TAPE_GET_MEDIA_PARAMETERS media = {};
  if (!QueryTape(handle, GET_TAPE_MEDIA_INFORMATION, &media, error))
    return false;
  params->capacity = media.Capacity.QuadPart;
  params->remaining = media.Remaining.QuadPart;
  params->block_size = media.BlockSize;
  params->partition_count = media.PartitionCount;
  params->write_protected = media.WriteProtected != FALSE;
  return true;
}

bool Win32Os::GetTapeDriveParams(OsHandle handle, TapeDriveParams *params,
                                 uint32_t *error) {
  TAPE_GET_DRIVE_PARAMETERS drive = {};
  if (!QueryTape(handle, GET_TAPE_DRIVE_INFORMATION, &drive, error))
    return false;
  params->ecc = drive.ECC != FALSE;
  params->compression = drive.Compression != FALSE;
  params->data_padding = drive.DataPadding != FALSE;
  params->report_setmarks = drive.ReportSetmarks != FALSE;
  params->default_block_size = drive.DefaultBlockSize;
  params->maximum_block_size = drive.MaximumBlockSize;
  params->minimum_block_size = drive.MinimumBlockSize;
  params->maximum_partition_count = drive.MaximumPartitionCount;
  params->features_low = drive.FeaturesLow;
  params->features_high = drive.FeaturesHigh;
  return true;
}

bool Win32Os::SetTapeBlockSize(OsHandle handle, uint32_t block_size,
                               uint32_t *error) {
  if (!UsableHandle(handle, error)) return false;
  TAPE_SET_MEDIA_PARAMETERS media = {};
  media.BlockSize = block_size;
  const DWORD code =
      ::SetTapeParameters(ToHandle(handle), SET_TAPE_MEDIA_INFORMATION, &media);
  if (code != NO_ERROR) {
    *error = code;
    return false;
  }
  return true;
}

uint32_t Win32Os::WriteTapemarks(OsHandle handle, uint32_t count) {
  if (handle == kInvalidOsHandle) return kErrorInvalidHandle;
  return ::WriteTapemark(ToHandle(handle), TAPE_FILEMARKS, count, FALSE);
}

uint32_t Win32Os::UnloadTape(OsHandle handle) {
  if (handle == kInvalidOsHandle) return kErrorInvalidHandle;
  return ::PrepareTape(ToHandle(handle), TAPE_UNLOAD, FALSE);
}

}  // namespace kor
