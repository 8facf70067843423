// The frozen samples under tests/samples: what each one is and how it is
// written.  The generator (make_samples.cc) and the tests that read the
// committed samples (samples_test.cc) share this one description, so a
// test can write a sample again with today's code and compare.
//
//   disk/NAME/s<stripe>.<volume>   disk volume sets written through the
//                                  exported functions, one per DiskSample
//   vtape/TAPE0/                   a virtual tape drive: its state file and
//                                  the cartridge images of one tape backup
//   stream-v<N>[-VARIANT]/s<stripe>.<volume>
//                                  a `korbr backup` of one input, as
//                                  format version N of korbr's stream, once
//                                  per way of writing it (StreamVariant)
//
// Every byte of data comes from the harness's StreamByte(seed, offset), so
// a reader regenerates what a sample must hold instead of storing it twice.
#ifndef KORBR_TESTS_SAMPLES_SAMPLE_CATALOG_H_
#define KORBR_TESTS_SAMPLES_SAMPLE_CATALOG_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "integration/host_harness.h"

namespace korit {

// --- Disk volume sets --------------------------------------------------------

// Every disk sample has 2 stripes and volumes of capacity=256 (262144
// bytes); the plan says how the stream is cut and dealt to the stripes.
constexpr int kSampleStripes = 2;
constexpr uint64_t kSampleCapacityBytes = kMinCapacityBytes;

struct DiskSample {
  const char *name;  // directory under disk/
  const char *what;  // the configuration, for the README and failures
  StreamPlan plan;
};
const std::vector<DiskSample> &DiskSamples();
// How test names show a sample.
inline void PrintTo(const DiskSample &sample, std::ostream *out) {
  *out << sample.name;
}

// "devname=<dir>/s<stripe>;dbtype=ZDBn;capacity=256".
std::string SampleDiskDevice(const std::string &dir, int stripe);
// Backs the sample's stream up into `dir` (which must exist) with today's
// library.
::testing::AssertionResult WriteDiskSample(const DiskSample &sample,
                                           const std::string &dir);

// --- The virtual tape drive --------------------------------------------------

// The drive is KOR_DEVICE_DIR/TAPE0 with 3 cartridges of 1 MiB in stacker
// mode, blocks of 512 to 65536 bytes; one stripe is backed up onto it with
// 4096-byte blocks and volumes of capacity=256, so it spans cartridges 1 and
// 2; then cartridges 1 and 3 are write-protected and cartridge 1 loaded.
constexpr char kTapeDriveName[] = "TAPE0";
constexpr int32_t kTapeBlock = 4096;
constexpr uint32_t kTapeCartridges = 3;
StreamPlan TapeSamplePlan();
// The stripe's device string (the drive found through KOR_DEVICE_DIR).
std::string TapeSampleDevice();
// Makes the drive under `device_dir` with `korbr vtape` (the program at
// `korbr`) and backs the plan up onto it through the exported functions.
// Sets KOR_DEVICE_DIR for the time of the call.
::testing::AssertionResult WriteTapeSample(const std::string &korbr,
                                           const std::string &device_dir);

// --- korbr streams -----------------------------------------------------------

// One input, backed up by `korbr backup` the same way for every format
// version: 2 stripes, 4096-byte requests (4048 payload bytes a frame), so
// 6 frames of which the last is short.
struct StreamSampleInput {
  uint32_t seed = 31;
  uint64_t length = 4048 * 5 + 1000;
  uint32_t stripes = 2;
  uint32_t request_size = 4096;
  const char *dbname = "frozen-sample";
};
const StreamSampleInput &StreamSample();
// A way of writing the input that leaves something different for a
// reader to handle: plain, or (from version 2 on) compressed.  Its sample
// directory is stream-v<N><suffix>.
struct StreamVariant {
  const char *suffix;   // "" or "-NAME"
  const char *options;  // extra `korbr backup` options
};
// Every variant today's korbr writes.
const std::vector<StreamVariant> &StreamVariants();
// "stream-v<version><suffix>".
std::string StreamSampleName(uint32_t version, const StreamVariant &variant);
// "devname=<dir>/s{stripe};dbtype=ZDBn;capacity=256", for korbr.
std::string StreamSampleDevice(const std::string &dir);
// Writes the input into `dir`/input and backs it up with `korbr` and the
// variant's options into `dir`; stores the format version the stream's
// header declares.  The input file is removed afterwards.
::testing::AssertionResult WriteStreamSample(const std::string &korbr,
                                             const std::string &dir,
                                             const StreamVariant &variant,
                                             uint32_t *version);

// --- Shared helpers ----------------------------------------------------------

// Runs a shell command line; true when it exited 0.
bool RunCommand(const std::string &command);
std::string ShellQuote(const std::string &word);
// The regular files of `dir` (names only, sorted); subdirectories too, with
// a trailing '/'.
std::vector<std::string> ListDirectory(const std::string &dir);
// Copies the regular files of `from` into `to` (made if missing).
void CopyDirectory(const std::string &from, const std::string &to);

}  // namespace korit

#endif  // KORBR_TESTS_SAMPLES_SAMPLE_CATALOG_H_
