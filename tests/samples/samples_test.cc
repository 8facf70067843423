// The committed disk volume sets and the virtual tape drive (tests/samples)
// against today's library and korbr vtape.
//
// Strategy: a frozen sample is what backups made by earlier builds look
// like.  Each test reads the committed files with today's code and checks
// every byte they stand for against what the sample's plan regenerates:
// volume files byte for byte (labels and data), cartridge images object by
// object (every label, every data byte; block padding carries nothing), the
// state file field by field.  Then it writes the sample again with today's
// code and requires the same bytes: a change of the data path or of a label
// must leave what reaches the media as it is.  A format that really has to
// change needs a new sample beside the old one, never a rewritten one.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "integration/tape_image.h"
#include "samples/sample_catalog.h"

namespace korit {
namespace {

std::string SamplesRoot() { return KORBR_SAMPLES_DIR; }
std::string Korbr() { return KORBR_PROGRAM; }
constexpr int32_t kLabelBytes = 80;

::testing::AssertionResult SameFiles(const std::string &expect_dir,
                                     const std::string &found_dir) {
  const std::vector<std::string> names = ListDirectory(expect_dir);
  if (names != ListDirectory(found_dir))
    return ::testing::AssertionFailure()
           << found_dir << " does not hold the files of " << expect_dir;
  for (const std::string &name : names) {
    const std::vector<uint8_t> expect = ReadWholeFile(expect_dir + "/" + name);
    const std::vector<uint8_t> found = ReadWholeFile(found_dir + "/" + name);
    if (expect == found) continue;
    size_t at = 0;
    while (at < expect.size() && at < found.size() && expect[at] == found[at])
      ++at;
    return ::testing::AssertionFailure()
           << name << ": " << found.size() << " bytes written today, "
           << expect.size() << " in the sample; first difference at " << at;
  }
  return ::testing::AssertionSuccess();
}

// --- Disk volume sets --------------------------------------------------------

class DiskSampleTest : public ::testing::TestWithParam<DiskSample> {};

TEST_P(DiskSampleTest, ReadsBackAndIsWrittenTheSameToday) {
  const DiskSample &sample = GetParam();
  SCOPED_TRACE(std::string(sample.name) + ": " + sample.what);
  const std::string committed = SamplesRoot() + "/disk/" + sample.name;

  // Every volume file holds its labels and its share of the stripe's
  // requests where they belong, and there is no other file.
  std::vector<std::string> files;
  for (int s = 0; s < sample.plan.stripes; ++s) {
    int volumes = 0;
    ASSERT_TRUE(CheckVolumeFiles(committed + "/s" + std::to_string(s),
                                 sample.plan, s, kSampleCapacityBytes,
                                 &volumes));
    for (int v = 1; v <= volumes; ++v)
      files.push_back("s" + std::to_string(s) + "." + std::to_string(v));
  }
  EXPECT_EQ(files, ListDirectory(committed));

  // Today's library restores it (from a copy: the sample stays untouched).
  TempDir dir;
  CopyDirectory(committed, dir.Sub("copy"));
  ResetHost();
  HostParams params;
  for (int s = 0; s < sample.plan.stripes; ++s)
    params.SetDevice(s, SampleDiskDevice(dir.Sub("copy"), s));
  EXPECT_TRUE(RestoreAndCompare(params, sample.plan));
  EXPECT_TRUE(RecordedErrors().empty());

  // And writes the very same bytes.
  std::filesystem::create_directory(dir.Sub("today"));
  ASSERT_TRUE(WriteDiskSample(sample, dir.Sub("today")));
  EXPECT_TRUE(SameFiles(committed, dir.Sub("today")));
}

INSTANTIATE_TEST_SUITE_P(
    Frozen, DiskSampleTest, ::testing::ValuesIn(DiskSamples()),
    [](const ::testing::TestParamInfo<DiskSample> &info) {
      return std::string(info.param.name);
    });

// --- The virtual tape drive --------------------------------------------------

// The records a cartridge must hold, in order: labels and data blocks with
// the bytes they must begin with (a block's padding is not checked), and
// tape marks.
struct TapeObject {
  bool tape_mark = false;
  std::vector<uint8_t> head;
};
using Cartridge = std::vector<TapeObject>;

TapeObject Block(const std::string &label) {
  return TapeObject{false, std::vector<uint8_t>(label.begin(), label.end())};
}

// What the sample's backup leaves on the cartridges: every volume starts
// with VOL1, HDR1 and HDR2, one block each; a request takes whole blocks (an
// empty one a block of padding) and goes to the next volume when it is
// longer than the bytes its volume has left (capacity=256 less three label
// blocks at the start, less a block per block written); a volume that goes
// on ends with EOV1+EOV2 in one block and two tape marks, the last one with
// EOF1+EOF2 alone.
std::vector<Cartridge> ExpectedCartridges() {
  const StreamPlan plan = TapeSamplePlan();
  std::vector<Cartridge> cartridges;
  uint64_t left = 0;
  auto start_volume = [&] {
    const int volume = static_cast<int>(cartridges.size()) + 1;
    cartridges.push_back({Block(Vol1Label(0, volume)), Block(Hdr1Label()),
                          Block(Hdr2Label())});
    left = kMinCapacityBytes - 3 * kTapeBlock;
  };
  start_volume();
  uint64_t offset = 0;
  for (int32_t length : plan.lengths) {
    if (static_cast<uint64_t>(length) > left) {
      cartridges.back().push_back(Block(TrailerLabels(true)));
      cartridges.back().push_back({true, {}});
      cartridges.back().push_back({true, {}});
      start_volume();
    }
    int32_t done = 0;
    do {
      const int32_t chunk = std::min(length - done, kTapeBlock);
      TapeObject block;
      block.head.resize(static_cast<size_t>(chunk));
      FillStream(plan.seed, offset + static_cast<uint64_t>(done),
                 block.head.data(), block.head.size());
      cartridges.back().push_back(block);
      left = left > static_cast<uint64_t>(kTapeBlock) ? left - kTapeBlock : 0;
      done += chunk;
    } while (done < length);
    offset += static_cast<uint64_t>(length);
  }
  cartridges.back().push_back(Block(TrailerLabels(false)));
  return cartridges;
}

::testing::AssertionResult CheckCartridges(const std::string &drive) {
  const std::vector<Cartridge> expected = ExpectedCartridges();
  for (uint32_t c = 1; c <= kTapeCartridges; ++c) {
    const std::string path = drive + "/cartridge-" + std::to_string(c) + ".tap";
    const std::vector<uint8_t> image = ReadWholeFile(path);
    std::vector<ImageObject> found;
    ::testing::AssertionResult decoded = DecodeImageObjects(image, path, &found);
    if (!decoded) return decoded;
    const Cartridge none;
    const Cartridge &expect = c <= expected.size() ? expected[c - 1] : none;
    if (found.size() != expect.size())
      return ::testing::AssertionFailure()
             << path << ": " << found.size() << " objects, expected "
             << expect.size();
    for (size_t i = 0; i < expect.size(); ++i) {
      const bool mark = found[i].length == 0;
      if (mark != expect[i].tape_mark ||
          (!mark && found[i].length != static_cast<uint32_t>(kTapeBlock)))
        return ::testing::AssertionFailure()
               << path << ": object " << i << " is "
               << (mark ? "a tape mark" : "a record of ") << found[i].length;
      if (!mark && !std::equal(expect[i].head.begin(), expect[i].head.end(),
                               image.begin() + static_cast<ptrdiff_t>(
                                                   found[i].data_offset)))
        return ::testing::AssertionFailure()
               << path << ": record " << i << " holds other bytes";
    }
  }
  return ::testing::AssertionSuccess();
}

// The key=value lines of a state file in order, comments left out.
std::vector<std::pair<std::string, std::string>> StateFields(
    const std::string &path) {
  const std::vector<uint8_t> bytes = ReadWholeFile(path);
  const std::string text(bytes.begin(), bytes.end());
  std::vector<std::pair<std::string, std::string>> fields;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    fields.emplace_back(line.substr(0, eq),
                        eq == std::string::npos ? "" : line.substr(eq + 1));
  }
  return fields;
}

class TapeSampleTest : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv("KOR_DEVICE_DIR"); }
  const std::string committed_ =
      SamplesRoot() + "/vtape/" + std::string(kTapeDriveName);
  TempDir dir_;
};

TEST_F(TapeSampleTest, StateFileFields) {
  const std::vector<std::pair<std::string, std::string>> expect = {
      {"cartridges", "3"},  {"capacity", "1048576"}, {"min_block", "512"},
      {"max_block", "65536"}, {"mode", "stacker"},   {"loaded", "1"},
      // create 0; load 1; unloads at the volume switch and at the close,
      // each loading the next cartridge: 3; load 1 again: 4.
      {"generation", "4"},  {"protected", "1,3"}};
  EXPECT_EQ(expect, StateFields(committed_ + "/korbr-vtape.state"));

  // Today's reader takes every field the same way.
  const std::string status = dir_.Sub("status");
  ASSERT_TRUE(RunCommand(ShellQuote(Korbr()) + " vtape status " +
                         ShellQuote(committed_) + " >" + ShellQuote(status)));
  const std::vector<uint8_t> bytes = ReadWholeFile(status);
  const std::string text(bytes.begin(), bytes.end());
  auto used = [&](int cartridge) {
    return std::to_string(FileSize(committed_ + "/cartridge-" +
                                   std::to_string(cartridge) + ".tap")) +
           " bytes used";
  };
  for (const std::string &line :
       {std::string("mode: stacker\n"), std::string("cartridges: 3\n"),
        std::string("capacity: 1048576 bytes per cartridge\n"),
        std::string("block size: 512 to 65536 bytes\n"),
        std::string("loaded: 1\n"),
        "cartridge 1: " + used(1) + ", write-protected, in the drive\n",
        "cartridge 2: " + used(2) + ", writable\n",
        "cartridge 3: " + used(3) + ", write-protected\n"})
    EXPECT_NE(std::string::npos, text.find(line)) << line << "in\n" << text;
}

TEST_F(TapeSampleTest, CartridgesHoldTheBackup) {
  EXPECT_EQ((std::vector<std::string>{"cartridge-1.tap", "cartridge-2.tap",
                                      "cartridge-3.tap", "korbr-vtape.state"}),
            ListDirectory(committed_));
  ASSERT_EQ(2u, ExpectedCartridges().size()) << "the backup spans two";
  EXPECT_TRUE(CheckCartridges(committed_));
}

TEST_F(TapeSampleTest, RestoresFromTheCommittedDrive) {
  CopyDirectory(committed_, dir_.Sub(kTapeDriveName));
  setenv("KOR_DEVICE_DIR", dir_.path().c_str(), 1);
  ResetHost();
  HostParams params;
  params.SetDevice(0, TapeSampleDevice());
  EXPECT_TRUE(RestoreAndCompare(params, TapeSamplePlan()));
  EXPECT_TRUE(RecordedErrors().empty());
}

TEST_F(TapeSampleTest, WrittenTheSameToday) {
  ASSERT_TRUE(WriteTapeSample(Korbr(), dir_.path()));
  const std::string today = dir_.Sub(kTapeDriveName);
  EXPECT_EQ(ListDirectory(committed_), ListDirectory(today));
  EXPECT_EQ(ReadWholeFile(committed_ + "/korbr-vtape.state"),
            ReadWholeFile(today + "/korbr-vtape.state"));
  EXPECT_TRUE(CheckCartridges(today));
  // The padding of the first block a handle writes (after VOL1's 80 bytes)
  // can hold nothing the stripe wrote before: it must not carry whatever
  // the process's memory held.
  const std::vector<uint8_t> first = ReadWholeFile(today + "/cartridge-1.tap");
  ASSERT_GT(first.size(), 4u + kTapeBlock);
  EXPECT_EQ(std::vector<uint8_t>(kTapeBlock - kLabelBytes, 0),
            std::vector<uint8_t>(first.begin() + 4 + kLabelBytes,
                                 first.begin() + 4 + kTapeBlock));
}

}  // namespace
}  // namespace korit
