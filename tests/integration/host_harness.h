// A tiny backup host for the integration tests.
//
// It stands where the database's backup utility stands: it registers the
// three callbacks, builds the open-parameters record, deals a generated
// stream out to the stripes in requests of a fixed size, and reads it back.
// Only the public header and the nine exported functions are used.
//
// The callbacks are plain C functions over static storage guarded by a
// mutex, so stripes driven from several threads can report at once.  Every
// error and every operator message is recorded with its text arguments.
// The format callback writes "<number>: <arg1>, <arg2>" into the caller's
// message buffer, which lets tests check both the number and the arguments
// that reached the host.
#ifndef KORBR_TESTS_INTEGRATION_HOST_HARNESS_H_
#define KORBR_TESTS_INTEGRATION_HOST_HARNESS_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "korbr/korbr.h"

namespace korit {

// Data capacity of a volume of `capacity_bytes`: what is left after the
// three header labels (VOL1 80 + HDR1 68 + HDR2 80 bytes).
constexpr uint64_t kHeaderBytes = 228;
constexpr uint64_t kTrailerBytes = 160;
constexpr uint64_t kMinCapacityBytes = 262144;  // capacity=256 (KB)

// One message as the host received it.
struct HostMessage {
  int32_t number = 0;
  std::vector<std::string> args;
  // Operator messages only: the constant argument was 2 and the info record
  // was zero apart from the number at offset 4.
  bool well_formed = true;
};

// Registers the harness callbacks (idempotent) and forgets everything
// recorded so far; cancellation is switched off.  (After 20 requests for a
// volume, message 9234, the host cancels by itself.)
void ResetHost();

std::vector<HostMessage> RecordedErrors();
std::vector<HostMessage> RecordedInfos();
// Number of recorded errors / operator messages with this number.
int CountErrors(int32_t number);
int CountInfos(int32_t number);

// While on, the cancelled callback answers nonzero.
void SetCancelled(bool on);
// The host switches cancellation on when it receives operator message
// `number` (0: never), as a host does whose operator gives up.
void SetCancelOnInfo(int32_t number);
// The same for error `number` reaching the format callback: a host that
// gives up a wait whose cause it has been told will not pass.
void SetCancelOnError(int32_t number);

// The text the harness's format callback writes for these arguments.
std::string MessageText(int32_t number, const std::vector<std::string> &args);

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string Sub(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The host's open-parameters record with per-stripe device strings.
class HostParams {
 public:
  HostParams();
  HostParams(const HostParams &) = delete;
  HostParams &operator=(const HostParams &) = delete;
  void SetDevice(int stripe, const std::string &devstring);
  void ClearDevice(int stripe);  // the stripe's pointer becomes null
  const OpenParams *get() const { return &params_; }

 private:
  OpenParams params_;
  std::string devstrings_[KOR_MAX_STRIPES];
};

// "devname=<prefix>;dbtype=ZDBn", then ";<extra>" when extra is not empty.
std::string DiskDevice(const std::string &prefix, const std::string &extra = "");
// The same with capacity=256 (the smallest volume, 262144 bytes).
std::string SmallDiskDevice(const std::string &prefix,
                            const std::string &extra = "");

// The deterministic stream: byte `offset` of the stream named `seed`.
uint8_t StreamByte(uint32_t seed, uint64_t offset);
void FillStream(uint32_t seed, uint64_t offset, uint8_t *out, size_t length);

// What a request's bytes begin with: the stream's own bytes, or the bytes
// of a trailer record (EOV1+EOV2, EOF1+EOF2) as far as the request is long.
enum class Head : char { kPlain = 0, kEov = 'V', kEof = 'F' };

// How a stream is cut and dealt out: requests of `request` bytes (the last
// one shorter), request k going to stripe first_stripe + k % stripes.
// When `lengths` is not empty it gives the request lengths instead (and
// `total` and `request` are ignored).  heads[k], where given, says what
// request k begins with.
struct StreamPlan {
  uint32_t seed = 1;
  uint64_t total = 0;
  int32_t request = 65536;
  int stripes = 1;
  int first_stripe = 0;
  std::vector<int32_t> lengths;
  std::vector<Head> heads;
};

// One stripe's stream of requests of `size` bytes, `per_volume` of which
// fill a volume, over three volumes: request k begins with `head` where k
// is in the middle of the first volume, the last on it (the volume switch
// follows), the first on the second, and the last of the backup.
StreamPlan TrailerHeadPlan(int32_t size, int per_volume, Head head);

// Request `index` of the plan, at stream offset `offset`: the stream's bytes
// with the plan's head for it.
void FillRequest(const StreamPlan &plan, size_t index, uint64_t offset,
                 uint8_t *out, size_t length);

// The request lengths that stripe `stripe` receives under the plan.
std::vector<int32_t> StripeRequests(const StreamPlan &plan, int stripe);
// The bytes that stripe `stripe` receives, in order.
std::vector<uint8_t> StripeBytes(const StreamPlan &plan, int stripe);

// Opens every stripe of the plan for a backup, writes the stream, closes.
::testing::AssertionResult BackupStream(const HostParams &params,
                                        const StreamPlan &plan);
// Opens every stripe for a restore, reads the stream with the same requests,
// compares every byte, closes.
::testing::AssertionResult RestoreAndCompare(const HostParams &params,
                                             const StreamPlan &plan);

// Checks every volume file of `stripe` under `prefix`, byte for byte: the
// stripe's requests lie whole on the volumes, a new volume being started
// only when a request no longer fits into what `capacity_bytes` leaves;
// each file is VOL1 (with this stripe's and volume's serial), HDR1, HDR2,
// its requests' bytes, and EOV1+EOV2 (or EOF1+EOF2 on the last volume);
// there is no file after the last volume.  Stores the number of volumes.
::testing::AssertionResult CheckVolumeFiles(const std::string &prefix,
                                            const StreamPlan &plan, int stripe,
                                            uint64_t capacity_bytes,
                                            int *volumes = nullptr);

// Files.
std::string VolumeName(const std::string &prefix, int volume);
bool FileExists(const std::string &path);
int64_t FileSize(const std::string &path);  // -1 when missing
std::vector<uint8_t> ReadWholeFile(const std::string &path);
void WriteWholeFile(const std::string &path, const std::vector<uint8_t> &data);
void TruncateFile(const std::string &path, int64_t size);

// The label records a volume file must carry.
std::string Vol1Label(int stripe, int volume);  // 80 bytes
std::string Hdr1Label();                        // 68 bytes
std::string Hdr2Label();                        // 80 bytes
std::string TrailerLabels(bool end_of_volume);  // EOV1+EOV2 or EOF1+EOF2

// The text of a message buffer, checked against its length word.
std::string BufferText(const MessageBuffer &msg);

}  // namespace korit

#endif  // KORBR_TESTS_INTEGRATION_HOST_HARNESS_H_
