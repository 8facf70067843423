// The nine functions the host calls.  They are the only way in: every one
// checks what the host handed over (unknown handles, null buffers and
// records are refused without a crash), keeps the caller's message buffer
// in the handle for the call, and turns internal results into 0 / -1 or a
// handle / null.
#include <cstring>
#include <new>
#include <string>

#include "core/process_state.h"
#include "core/stripe_handle.h"
#include "datapath/read_path.h"
#include "datapath/write_path.h"
#include "device/device_close.h"
#include "device/io_profile.h"
#include "devstring/archdev_parser.h"
#include "devstring/media_kind.h"
#include "diag/error_report.h"
#include "diag/host_callbacks.h"
#include "diag/trace_log.h"
#include "korbr/korbr.h"
#include "label/label_format.h"
#include "volume/volume_open.h"

namespace kor {
namespace {

constexpr char kApiName[] = "KORVEL BACKUP/RESTORE API";

void DestroyHandle(StripeHandle *h) {
  if (h->ioprof_samples != 0 && h->ioprof_used != 0) PrintIoRates(h);
  UnlinkHandle(h);
  delete h;
}

// The live handle behind a host's pointer, or null for one the library
// never gave out (or has released).
StripeHandle *LiveHandle(void *handle) {
  return IsLiveHandle(handle) ? static_cast<StripeHandle *>(handle) : nullptr;
}

}  // namespace
}  // namespace kor

using namespace kor;

extern "C" {

KOR_EXPORT void KOR_CALL kor_queryapi(ApiInfo *info) {
  if (info == nullptr) return;
  info->version = 0x00010001u;
  info->revision = 1;
  std::memset(info->name, 0, sizeof info->name);
  std::memcpy(info->name, kApiName, sizeof kApiName);
}

KOR_EXPORT void KOR_CALL kor_register_info_callback(kor_info_callback cb) {
  SetInfoCallback(cb);
}

KOR_EXPORT void KOR_CALL
kor_register_format_string(kor_format_string_callback cb) {
  SetFormatStringCallback(cb);
}

KOR_EXPORT void KOR_CALL kor_register_cancelled(kor_cancelled_callback cb) {
  SetCancelledCallback(cb);
}

KOR_EXPORT void *KOR_CALL kor_open(int32_t stripe, const void *params,
                                   int32_t mode, MessageBuffer *msg) {
  if (params == nullptr || msg == nullptr || stripe < 0 ||
      stripe >= KOR_MAX_STRIPES)
    return nullptr;
  const OpenParams *open_params = static_cast<const OpenParams *>(params);
  StripeHandle *h = new (std::nothrow) StripeHandle;
  if (h == nullptr) return nullptr;
  InitHandle(h);
  LinkHandle(h);
  const char *archdev = open_params->archdev[stripe];
  TraceLine(h, "Stripe %d ********** Initializing new handle **********\n",
            stripe);
  TraceLine(h, "Stripe %d archdev str %s\n", stripe,
            archdev != nullptr ? archdev : "(null)");
  if (h->ioprof_capped_from != 0 && Traces(h, kTraceVolume))
    TraceLine(h, "Stripe %d KORIOPROF %d capped to %d\n", stripe,
              h->ioprof_capped_from, kMaxIoProfileSamples);
  h->message_buffer = msg;
  std::strncpy(h->dbname, open_params->dbname, sizeof h->dbname);
  h->stripe = stripe;
  if (archdev == nullptr || ParseArchdev(h, archdev) < 0) {
    RaiseError(h, kErrBadDeviceString);
    DestroyHandle(h);
    return nullptr;
  }
  ClassifyMedia(h);
  if (mode != kModeRead && mode != kModeWrite) {
    // No device can be opened for such a mode; a tape open would wait for
    // it forever.
    RaiseError(h, kErrOpenMode);
    DestroyHandle(h);
    return nullptr;
  }
  if (h->media_type == MEDIA_TAPE) {
    // One block of staging for tape requests that are not whole blocks.
    // Zeroed: the padding of the first short block goes to the media, and
    // must not carry whatever the host's memory held there before.
    h->block_buffer.reset(new (std::nothrow)
                              uint8_t[static_cast<size_t>(h->blocksize) + 4]());
    if (h->block_buffer == nullptr) {
      DestroyHandle(h);
      return nullptr;
    }
  }
  h->open_state = 0;
  if (OpenDevice(h, mode) < 0) {
    CloseDevice(h, 0);
    DestroyHandle(h);
    return nullptr;
  }
  return h;
}

KOR_EXPORT int32_t KOR_CALL kor_close(void *handle, int32_t mode,
                                      MessageBuffer *msg) {
  StripeHandle *h = LiveHandle(handle);
  if (h == nullptr || msg == nullptr) return -1;
  h->message_buffer = msg;
  // A backup whose closing labels are missing has no end marker: its
  // restore could never tell it complete, so the host must not either.
  int32_t outcome = 0;
  if (h->open_mode == kModeWrite) {
    if (h->device_handle == kInvalidOsHandle) {
      // A volume switch that failed left no volume to take the labels; the
      // OS's "bad handle" would only hide why.
      RaiseError(h, kErrWrite,
                 {h->devname, "no volume is open to take the closing labels"});
      outcome = -1;
    } else if (WriteEofLabels(h) != kTrailerSize) {
      outcome = -1;
    }
  }
  if (mode == KOR_CLOSE_NORMAL) {
    if (CloseDevice(h, 0) < 0) outcome = -1;
    h->open_state = 2;
  } else {
    // An abandoned stripe gets no tape operations (no file marks, no
    // unload), but its OS handle is still released: the handle record goes
    // away now, and nothing could ever close the file or drive later.  The
    // volume is handed back as abandoned: an object store discards it.
    if (AbandonDeviceFile(h) < 0) outcome = -1;
    if (mode != KOR_CLOSE_ABANDON) {
      RaiseError(h, kErrCloseMode);
      outcome = -1;
    }
  }
  DestroyHandle(h);
  return outcome < 0 ? -1 : 0;
}

KOR_EXPORT int32_t KOR_CALL kor_write(void *handle, const void *data,
                                      int32_t length, MessageBuffer *msg) {
  StripeHandle *h = LiveHandle(handle);
  if (h == nullptr || msg == nullptr) return -1;
  h->message_buffer = msg;
  if (length < 0 || (data == nullptr && length > 0)) {
    RaiseError(h, kErrWrite, {h->devname, "invalid request"});
    return -1;
  }
  if (h->open_mode != kModeWrite) {
    RaiseError(h, kErrWrite, {h->devname, "stripe is open for a restore"});
    return -1;
  }
  return WriteRequest(h, data, length) < 0 ? -1 : 0;
}

KOR_EXPORT int32_t KOR_CALL kor_read(void *handle, void *data, int32_t length,
                                     MessageBuffer *msg) {
  StripeHandle *h = LiveHandle(handle);
  if (h == nullptr || msg == nullptr) return -1;
  h->message_buffer = msg;
  if (length < 0 || (data == nullptr && length > 0)) {
    RaiseError(h, kErrRead, {h->devname, "invalid request"});
    return -1;
  }
  if (h->open_mode != kModeRead) {
    RaiseError(h, kErrRead, {h->devname, "stripe is open for a backup"});
    return -1;
  }
  return ReadRequest(h, data, length) < 0 ? -1 : 0;
}

KOR_EXPORT int32_t KOR_CALL kor_get_last_error(void *handle) {
  StripeHandle *h = LiveHandle(handle);
  return h == nullptr ? -1 : h->last_error;
}

}  // extern "C"
