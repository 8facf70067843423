// The defaults of a fresh stripe handle.
//
// kor_open constructs the record without clearing it, so every field is set
// here, including those that are always written before they are read: a
// stray read then finds a known value rather than heap garbage.
#include "core/stripe_handle.h"

#include <cstring>
#include <new>
#include <string>

#include "diag/trace_log.h"
#include "os/os_layer.h"
#include "rules/device_string_rules.h"  // kDefaultBlockSize

namespace kor {
namespace {

template <size_t N>
void SetText(char (&field)[N], const char *text) {
  std::memset(field, 0, N);
  std::strncpy(field, text, N - 1);
}

}  // namespace

void InitHandle(StripeHandle *h) {
  h->next = nullptr;
  h->device_handle = kInvalidOsHandle;
  SetText(h->devname, "");
  h->stripe = -1;
  h->open_state = 2;
  h->open_mode = kModeRead;
  h->capacity = 0;
  h->spaceleft = 0;
  h->stacker = 0;
  h->nvols = 0;
  h->io_status = IO_OK;
  h->volume_number = 1;
  h->read_switch_failed = false;
  h->label_stripe = -1;
  h->message_buffer = nullptr;
  h->last_error = 0;
  h->last_os_error = 0;
  std::memset(h->dbname, 0, sizeof h->dbname);
  SetText(h->dbtype, "");
  h->backup_id = 0;
  h->prev_backup_id = 0;
  SetText(h->creator, "Unknown");
  h->total_tapes = 0;
  SetText(h->type, "Full");
  SetText(h->media_name, "Tape");
  h->media_type = MEDIA_TAPE;
  SetText(h->method, "Arch");
  SetText(h->location, "");
  h->blocksize = kDefaultBlockSize;
  h->reqfreekb = 8;
  h->attended = 1;

  // The environment is read afresh for every handle, so a host can change
  // the settings between stripes.
  std::string value;
  h->trace_mask =
      Os().GetEnv("KORDBG", &value) ? ParseDecimalInt(value) : kDefaultTraceMask;

  h->ioprof_samples = 0;
  h->ioprof_table.reset();
  h->ioprof_used = 0;
  h->ioprof_capped_from = 0;
  if (Os().GetEnv("KORIOPROF", &value)) {
    int32_t samples = ParseDecimalInt(value);
    if (samples > kMaxIoProfileSamples) {
      // The table is made whole up front: a huge value would take
      // gigabytes for nothing, or fail the allocation outright.
      h->ioprof_capped_from = samples;
      samples = kMaxIoProfileSamples;
    }
    if (samples > 0) {
      h->ioprof_table.reset(new (std::nothrow) iorates[samples]());
      // Without its table the handle simply runs unprofiled.
      if (h->ioprof_table != nullptr) h->ioprof_samples = samples;
    }
  }

  h->block_buffer.reset();
  std::memset(h->readahead, 0, sizeof h->readahead);
  ResetVolumeReads(h);
  h->fresh_spaceleft = 0;
  h->carry.reset();
  h->carry_len = 0;
  h->volume_offset = 0;
  h->flush_volumes = !Os().GetEnv("KOR_NO_FLUSH", &value);
  h->keep_cache = Os().GetEnv("KOR_CACHE", &value) && value == "keep";
  h->cache_dropped = 0;
}

void ResetVolumeReads(StripeHandle *h) {
  h->readahead_len = 0;
  h->volume_read = 0;
  h->volume_size = -1;
  h->staged_len = 0;
}

}  // namespace kor
