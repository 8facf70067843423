// The frozen samples' configurations and writers (see the header).
#include "samples/sample_catalog.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace korit {
namespace {

StreamPlan Plan(uint32_t seed, uint64_t total, int32_t request) {
  StreamPlan plan;
  plan.seed = seed;
  plan.total = total;
  plan.request = request;
  plan.stripes = kSampleStripes;
  return plan;
}

StreamPlan Lengths(uint32_t seed, std::vector<int32_t> lengths) {
  StreamPlan plan;
  plan.seed = seed;
  plan.stripes = kSampleStripes;
  plan.lengths = std::move(lengths);
  return plan;
}

// A volume of 262144 bytes has room for 261916 bytes of data after its
// header labels: 4 requests of 65479 bytes fill it to the last byte.
constexpr int32_t kExactFit = 65479;

}  // namespace

const std::vector<DiskSample> &DiskSamples() {
  static const std::vector<DiskSample> samples = {
      {"req65536", "64 KiB requests; both stripes span two volumes",
       Plan(101, 9 * 65536, 65536)},
      {"req65479", "4 requests fill a volume exactly; stripe 0 spans",
       Plan(102, 9 * kExactFit, kExactFit)},
      {"req1000", "1000-byte requests; both stripes span two volumes",
       Plan(103, 540000, 1000)},
      {"req160", "160-byte requests (the size of a trailer record)",
       Plan(104, 400 * 160, 160)},
      {"req1", "1-byte requests", Plan(105, 6000, 1)},
      {"mixed", "requests of 0 to 65536 bytes around 4 KiB boundaries",
       Lengths(106, {4068, 0, 1, 4095, 4095, 4096, 4097, 160, 65536, 3, 8191,
                     7, 228, 1000, 65535, 2})},
      {"empty", "no request at all", Plan(107, 0, 65536)},
  };
  return samples;
}

std::string SampleDiskDevice(const std::string &dir, int stripe) {
  return SmallDiskDevice(dir + "/s" + std::to_string(stripe));
}

::testing::AssertionResult WriteDiskSample(const DiskSample &sample,
                                           const std::string &dir) {
  ResetHost();
  HostParams params;
  for (int s = 0; s < sample.plan.stripes; ++s)
    params.SetDevice(s, SampleDiskDevice(dir, s));
  return BackupStream(params, sample.plan);
}

StreamPlan TapeSamplePlan() {
  // Short requests (padded to a block), whole blocks, requests of several
  // blocks and empty requests (one block of padding each).
  const std::vector<int32_t> cycle = {4096, 1, 5000, 12288, 100, 8191, 0};
  StreamPlan plan;
  plan.seed = 121;
  for (int i = 0; i < 7; ++i)
    plan.lengths.insert(plan.lengths.end(), cycle.begin(), cycle.end());
  return plan;
}

std::string TapeSampleDevice() {
  return std::string("devname=\\\\.\\") + kTapeDriveName +
         ";dbtype=ZDBn;capacity=256;blocksize=4096;stacker=" +
         std::to_string(kTapeCartridges);
}

::testing::AssertionResult WriteTapeSample(const std::string &korbr,
                                           const std::string &device_dir) {
  const std::string drive = ShellQuote(device_dir + "/" + kTapeDriveName);
  const std::string vtape = ShellQuote(korbr) + " vtape ";
  if (!RunCommand(vtape + "create " + drive + " --cartridges " +
                  std::to_string(kTapeCartridges) +
                  " --capacity 1M --stacker --min-block 512 --max-block 64K") ||
      !RunCommand(vtape + "load " + drive + " 1"))
    return ::testing::AssertionFailure() << "korbr vtape could not make "
                                         << drive;
  ResetHost();
  setenv("KOR_DEVICE_DIR", device_dir.c_str(), 1);
  HostParams params;
  params.SetDevice(0, TapeSampleDevice());
  ::testing::AssertionResult written = BackupStream(params, TapeSamplePlan());
  unsetenv("KOR_DEVICE_DIR");
  if (!written) return written;
  if (!RunCommand(vtape + "protect " + drive + " 1 on") ||
      !RunCommand(vtape + "protect " + drive + " 3 on") ||
      !RunCommand(vtape + "load " + drive + " 1"))
    return ::testing::AssertionFailure() << "korbr vtape could not protect "
                                            "and load "
                                         << drive;
  // The lock file is empty and made again on demand: not part of a drive.
  std::filesystem::remove(device_dir + "/" + kTapeDriveName +
                          "/korbr-vtape.lock");
  return ::testing::AssertionSuccess();
}

const StreamSampleInput &StreamSample() {
  static const StreamSampleInput input;
  return input;
}

const std::vector<StreamVariant> &StreamVariants() {
  static const std::vector<StreamVariant> variants = {
      {"", ""},
      {"-zstd", "--compress zstd"},
  };
  return variants;
}

std::string StreamSampleName(uint32_t version, const StreamVariant &variant) {
  return "stream-v" + std::to_string(version) + variant.suffix;
}

std::string StreamSampleDevice(const std::string &dir) {
  return "devname=" + dir + "/s{stripe};dbtype=ZDBn;capacity=256";
}

::testing::AssertionResult WriteStreamSample(const std::string &korbr,
                                             const std::string &dir,
                                             const StreamVariant &variant,
                                             uint32_t *version) {
  const StreamSampleInput &in = StreamSample();
  std::vector<uint8_t> data(in.length);
  FillStream(in.seed, 0, data.data(), data.size());
  const std::string input = dir + "/input";
  WriteWholeFile(input, data);
  const bool ok = RunCommand(
      ShellQuote(korbr) + " backup --quiet --stripes " +
      std::to_string(in.stripes) + " --request-size " +
      std::to_string(in.request_size) + " --dbname " + in.dbname + " " +
      variant.options + " --device " + ShellQuote(StreamSampleDevice(dir)) + " " +
      ShellQuote(input));
  std::filesystem::remove(input);
  if (!ok) return ::testing::AssertionFailure() << "korbr backup failed";
  // Whatever a version changes, its header keeps the magic at offset 0
  // and the version (32 bits, little-endian) at offset 8, so that a reader
  // can tell versions apart.  The header is the first request of the
  // stripe, after the volume's header labels.
  const std::vector<uint8_t> volume = ReadWholeFile(dir + "/s0.1");
  const size_t at = kHeaderBytes + 8;
  if (volume.size() < at + 4)
    return ::testing::AssertionFailure() << dir << "/s0.1 is too short";
  *version = 0;
  for (int i = 3; i >= 0; --i) *version = *version << 8 | volume[at + i];
  return ::testing::AssertionSuccess();
}

bool RunCommand(const std::string &command) {
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ShellQuote(const std::string &word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> ListDirectory(const std::string &dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(dir, error))
    names.push_back(entry.path().filename().string() +
                    (entry.is_directory() ? "/" : ""));
  std::sort(names.begin(), names.end());
  return names;
}

void CopyDirectory(const std::string &from, const std::string &to) {
  std::filesystem::create_directories(to);
  std::filesystem::copy(from, to,
                        std::filesystem::copy_options::recursive |
                            std::filesystem::copy_options::overwrite_existing);
}

}  // namespace korit
