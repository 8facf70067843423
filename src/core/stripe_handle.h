// The stripe handle: everything the library knows about one open stripe.
//
// kor_open creates it (InitHandle gives the defaults), every internal
// operation takes it first, DestroyHandle releases it.  The host sees only
// an opaque pointer.  One call uses a handle at a time, so nothing in it is
// guarded; what all handles share lives in process_state.h.
#ifndef KORBR_CORE_STRIPE_HANDLE_H_
#define KORBR_CORE_STRIPE_HANDLE_H_

#include <cstdint>
#include <memory>

#include "diag/diag_context.h"
#include "korbr/korbr.h"
#include "os/os_layer.h"

namespace kor {

// End-of-media and label status of a stripe.
enum IoStatus : uint8_t {
  IO_OK = 0,              // created; a media switch completed
  IO_CAPACITY_FULL = 1,   // a write request does not fit in spaceleft
  IO_EOT = 2,             // a tape write came back short
  IO_AT_EOV = 3,          // a read met the end-of-volume labels
  IO_DISK_FULL = 4,       // a disk write wrote nothing
  IO_LABEL_ERROR = 5,     // a label record could not be transferred
  IO_WRONG_SEQUENCE = 6,  // a volume carries the wrong stripe or volume
  IO_WRONG_STRIPE = 7,    // stripe 0 found another stripe's volume
};

enum MediaType : uint8_t { MEDIA_TAPE = 0, MEDIA_DISK = 1 };

constexpr int32_t kModeRead = 0;
constexpr int32_t kModeWrite = 1;

// One time sample around a transfer (I/O profiling).
struct bu_timeval {
  uint32_t tick_ms = 0;        // tick count cut to whole seconds, in ms
  uint64_t creation_time = 0;  // process creation, 100 ns units
  uint64_t exit_time = 0;      // process exit (unused by the statistics)
  uint64_t kernel_time = 0;    // kernel-mode CPU time of the process
  uint64_t user_time = 0;      // user-mode CPU time of the process
};

// One profiled transfer.
struct iorates {
  uint64_t nbytes = 0;  // bytes the transfer moved
  bu_timeval elapsed;   // end sample minus start sample
};

// KORIOPROF above this is taken as this: a statistics line per 100000
// transfers is already far more than anyone reads, and the table (48
// bytes a record) stays under 5 MB a stripe.
constexpr int32_t kMaxIoProfileSamples = 100000;

// Bytes of the end-of-volume record (EOV1 + EOV2).
constexpr int32_t kEovRecordSize = 160;
// Bytes a read must have seen to tell whether it met that record.
constexpr int32_t kEovProbeSize = 84;

// The record begins with what diagnostics use (stripe, trace_mask,
// message_buffer, last_error: see diag/diag_context.h).
struct StripeHandle : DiagContext {
  StripeHandle *next;             // registry link (handle_list)
  OsHandle device_handle;         // open volume, or kInvalidOsHandle
  char devname[256];              // normalised device or prefix path
  uint8_t open_state;             // 2 not open, 0 open
  int32_t open_mode;              // 0 restore, 1 backup; set by OpenDevice
  uint64_t capacity;              // bytes one volume may hold
  uint64_t spaceleft;             // bytes still allowed on this volume
  int32_t stacker;                // autoloader volumes, 0 = none
  int32_t nvols;                  // autoloader volumes left
  uint8_t io_status;              // IoStatus
  int32_t volume_number;          // current volume, from 1
  // A read-side switch failed: volume_number already names the volume it
  // asked for, and the next try asks for that one again.
  bool read_switch_failed;
  int32_t label_stripe;           // stripe found on the first volume read
  uint32_t last_os_error;         // Win32 code of the last failed OS call
  char dbname[30];                // not terminated when 30 characters long
  char dbtype[10];                // "ZDBn", "ZDBX" or "Unkn"
  int32_t backup_id;
  int32_t prev_backup_id;
  char creator[32];
  int32_t total_tapes;
  char type[8];                   // "Full", "Incr", "InSF", "DBFO"
  char media_name[8];             // "Tape" or "Disk"
  uint8_t media_type;             // MediaType
  char method[8];                 // "Imag", "Arch", "Othr"
  char location[256];
  int32_t blocksize;              // tape block size in bytes
  uint32_t reqfreekb;             // free KB a disk volume needs
  int32_t attended;               // nonzero: an operator can change media
  int32_t ioprof_samples;         // transfers per statistics line, 0 = off
  std::unique_ptr<iorates[]> ioprof_table;  // ioprof_samples records
  int32_t ioprof_used;            // records filled
  int32_t ioprof_capped_from;     // KORIOPROF when capped, else 0
  // Staging buffer for one tape block (blocksize + 4 bytes); made when a
  // tape stripe is opened, since the block size is known only then.
  std::unique_ptr<uint8_t[]> block_buffer;
  // Bytes a small disk read took from the volume beyond its request while
  // deciding whether they began the end-of-volume record; the next read
  // takes them first.  Emptied whenever a volume is opened.
  uint8_t readahead[kEovProbeSize];
  int32_t readahead_len;
  // Reading a volume file: bytes the reads took from it so far (labels and
  // read-ahead included), and its size once asked (-1 until then).  A
  // trailer record ends the volume only where the file's last bytes begin.
  uint64_t volume_read;
  int64_t volume_size;
  // Reading a tape: bytes of a block read ahead into block_buffer (0 =
  // none), to see what follows a block that begins like a trailer record;
  // the next read takes it first.
  int32_t staged_len;
  // Space a freshly opened backup volume offers after its header labels:
  // a request larger than this can never be placed on any volume.
  uint64_t fresh_spaceleft;
  // Disk backup volumes: bytes the stripe holds for the volume but has not
  // yet handed to the OS (labels, small requests, the part of a request
  // past the last whole 4 KiB page of the file), written in front of the
  // next transfer so that every OS write begins and ends on a page
  // boundary (see device/disk_carry.h).  Made when the first backup volume
  // is opened; emptied onto the volume before it is closed.
  std::unique_ptr<uint8_t[]> carry;
  int32_t carry_len;
  uint64_t volume_offset;  // bytes of the open volume file the OS has taken
  // Backup volumes go to stable storage before their close counts; only
  // KOR_NO_FLUSH (tests, benchmarks of CPU cost) turns that off.
  bool flush_volumes;
  // Disk volumes leave the page cache once written back or read, so that
  // a backup beside a live database does not evict the database's pages
  // for volumes nobody reads until a restore; KOR_CACHE=keep keeps them
  // (a site that copies the volumes elsewhere right away).
  bool keep_cache;
  // Bytes of the open volume file, from its start, already dropped from
  // the cache (a multiple of kWritebackChunk while the volume is open).
  uint64_t cache_dropped;
};

// Gives a freshly obtained handle its defaults and reads KORDBG and
// KORIOPROF afresh.  A KORIOPROF above kMaxIoProfileSamples is capped to
// it (ioprof_capped_from keeps the value asked for, for the trace).  When
// the profiling table cannot be made, profiling is off for the handle
// (ioprof_samples 0).
void InitHandle(StripeHandle *h);

// Forgets what the reads of a volume took or looked at (read-ahead bytes,
// the bytes read, the volume's size, a staged tape block): a fresh handle
// starts so, and so does every volume opened.
void ResetVolumeReads(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_CORE_STRIPE_HANDLE_H_
