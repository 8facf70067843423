// The committed korbr streams (tests/samples/stream-v<N>) against today's
// korbr.
//
// Strategy: every format version korbr ever wrote has a sample, made by
// `korbr backup` of the same input (StreamSample()), and a checker here that
// reads the stripes' requests through the library and checks every field of
// every record at its offset, little-endian, against what the input must
// give: headers, each data frame with its payload and padding, trailers
// with the stream's length and SHA-256.  Then today's `korbr restore` must
// give the input back from each sample, and a stream that today's korbr
// writes must pass the checker of the version it declares.  A new format
// version therefore needs a new sample and a checker beside the old ones.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "samples/sample_catalog.h"

namespace korit {
namespace {

std::string SamplesRoot() { return KORBR_SAMPLES_DIR; }
std::string Korbr() { return KORBR_PROGRAM; }

using Bytes = std::vector<uint8_t>;

uint64_t Little(const Bytes &record, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i)
    value = value << 8 | record[at + static_cast<size_t>(i)];
  return value;
}
Bytes Slice(const Bytes &record, size_t at, size_t size) {
  return Bytes(record.begin() + static_cast<ptrdiff_t>(at),
               record.begin() + static_cast<ptrdiff_t>(at + size));
}
Bytes Text(const std::string &text, size_t size) {
  Bytes bytes(text.begin(), text.end());
  bytes.resize(size, 0);
  return bytes;
}
bool AllZero(const Bytes &record, size_t from) {
  for (size_t i = from; i < record.size(); ++i)
    if (record[i] != 0) return false;
  return true;
}

// SHA-256 by coreutils' sha256sum: a digest the code under test did not
// compute.
Bytes Sha256(const Bytes &data) {
  char name[] = "/tmp/korbr-sample-sha-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return {};
  close(fd);
  WriteWholeFile(name, data);
  Bytes digest;
  FILE *pipe = popen(("sha256sum " + ShellQuote(name)).c_str(), "r");
  unsigned byte = 0;
  while (pipe != nullptr && digest.size() < 32 &&
         std::fscanf(pipe, "%2x", &byte) == 1)
    digest.push_back(static_cast<uint8_t>(byte));
  if (pipe != nullptr) pclose(pipe);
  std::remove(name);
  return digest;
}

// Reads stripe `stripe` of the sample in `dir` through the library with
// requests of the given sizes.
::testing::AssertionResult ReadStripe(const std::string &dir, int stripe,
                                      const std::vector<size_t> &sizes,
                                      std::vector<Bytes> *requests) {
  ResetHost();
  HostParams params;
  params.SetDevice(stripe, SmallDiskDevice(dir + "/s" + std::to_string(stripe)));
  MessageBuffer msg;
  void *h = kor_open(stripe, params.get(), KOR_MODE_READ, &msg);
  if (h == nullptr)
    return ::testing::AssertionFailure() << "open: " << BufferText(msg);
  requests->clear();
  std::string failure;
  for (size_t size : sizes) {
    requests->emplace_back(size);
    if (kor_read(h, requests->back().data(), static_cast<int32_t>(size),
                 &msg) != 0) {
      failure = "read " + std::to_string(requests->size()) + ": " +
                BufferText(msg);
      break;
    }
  }
  kor_close(h, KOR_CLOSE_NORMAL, &msg);
  if (!failure.empty()) return ::testing::AssertionFailure() << failure;
  return ::testing::AssertionSuccess();
}

#define CHECK_FIELD(what, expect, found)                                    \
  do {                                                                      \
    if ((expect) != (found))                                                \
      return ::testing::AssertionFailure() << where << ": " << what         \
                                           << " is not what it must be";    \
  } while (0)

// --- Version 1 ---------------------------------------------------------------
// The header request (4096 bytes), the stripe's data frames and its trailer
// (request size each) lie whole on the stripe's one volume, which holds
// nothing else.
::testing::AssertionResult CheckVersion1(const std::string &dir) {
  const StreamSampleInput &in = StreamSample();
  const size_t request = in.request_size;
  const uint64_t payload = request - 48;
  const uint64_t frames = in.length == 0 ? 1 : (in.length + payload - 1) / payload;
  Bytes stream(in.length);
  FillStream(in.seed, 0, stream.data(), stream.size());
  const Bytes stream_digest = Sha256(stream);
  Bytes backup_id;
  uint64_t created = 0;

  std::vector<std::string> files;
  for (uint32_t s = 0; s < in.stripes; ++s) {
    const uint64_t mine = frames / in.stripes + (s < frames % in.stripes ? 1 : 0);
    std::vector<size_t> sizes(1, 4096);
    sizes.insert(sizes.end(), mine + 1, request);
    const std::string volume = dir + "/s" + std::to_string(s) + ".1";
    files.push_back("s" + std::to_string(s) + ".1");
    uint64_t stored = 0;
    for (size_t size : sizes) stored += size;
    if (FileSize(volume) != static_cast<int64_t>(kHeaderBytes + stored + kTrailerBytes))
      return ::testing::AssertionFailure() << volume << " holds more or less";
    std::vector<Bytes> records;
    ::testing::AssertionResult read = ReadStripe(dir, static_cast<int>(s), sizes, &records);
    if (!read) return read << " (" << volume << ")";

    std::string where = volume + " header";
    const Bytes &header = records.front();
    if (s == 0) {
      backup_id = Slice(header, 24, 16);
      created = Little(header, 40, 8);
    }
    CHECK_FIELD("the magic", Text("KORBRSTR", 8), Slice(header, 0, 8));
    CHECK_FIELD("the version", 1u, Little(header, 8, 4));
    CHECK_FIELD("the stripe count", in.stripes, Little(header, 12, 4));
    CHECK_FIELD("the stripe index", s, Little(header, 16, 4));
    CHECK_FIELD("the request size", request, Little(header, 20, 4));
    CHECK_FIELD("the backup id", backup_id, Slice(header, 24, 16));
    CHECK_FIELD("the backup id", false, backup_id == Bytes(16, 0));
    CHECK_FIELD("the creation time", created, Little(header, 40, 8));
    // Written after 2024 began and before the test runs.
    CHECK_FIELD("the creation time", true,
                created > 1704067200u &&
                    created <= static_cast<uint64_t>(std::time(nullptr)));
    CHECK_FIELD("the database name", Text(in.dbname, 32), Slice(header, 48, 32));
    CHECK_FIELD("the bytes after the name", Bytes(48, 0), Slice(header, 80, 48));
    CHECK_FIELD("the seal", Sha256(Slice(header, 0, 128)), Slice(header, 128, 32));
    CHECK_FIELD("the rest", true, AllZero(header, 160));

    for (uint64_t j = 0; j < mine; ++j) {
      const Bytes &frame = records[1 + j];
      const uint64_t k = s + j * in.stripes;
      const uint64_t length = std::min(payload, in.length - k * payload);
      where = volume + " frame " + std::to_string(k);
      CHECK_FIELD("the magic", Text("KORBRDAT", 8), Slice(frame, 0, 8));
      CHECK_FIELD("the backup id", backup_id, Slice(frame, 8, 16));
      CHECK_FIELD("the sequence number", k, Little(frame, 24, 8));
      CHECK_FIELD("the payload length", length, Little(frame, 32, 4));
      CHECK_FIELD("the flags", k + 1 == frames ? 1u : 0u, Little(frame, 36, 4));
      CHECK_FIELD("the reserved bytes", Bytes(8, 0), Slice(frame, 40, 8));
      CHECK_FIELD("the payload", Slice(stream, k * payload, length),
                  Slice(frame, 48, length));
      CHECK_FIELD("the padding", true, AllZero(frame, 48 + length));
    }

    const Bytes &trailer = records.back();
    where = volume + " trailer";
    CHECK_FIELD("the magic", Text("KORBREND", 8), Slice(trailer, 0, 8));
    CHECK_FIELD("the version", 1u, Little(trailer, 8, 4));
    CHECK_FIELD("the stripe count", in.stripes, Little(trailer, 12, 4));
    CHECK_FIELD("the stripe index", s, Little(trailer, 16, 4));
    CHECK_FIELD("the request size", request, Little(trailer, 20, 4));
    CHECK_FIELD("the backup id", backup_id, Slice(trailer, 24, 16));
    CHECK_FIELD("the stream length", in.length, Little(trailer, 40, 8));
    CHECK_FIELD("the frame count", frames, Little(trailer, 48, 8));
    CHECK_FIELD("the stripe's frame count", mine, Little(trailer, 56, 8));
    CHECK_FIELD("the stream's SHA-256", stream_digest, Slice(trailer, 64, 32));
    CHECK_FIELD("the reserved bytes", Bytes(32, 0), Slice(trailer, 96, 32));
    CHECK_FIELD("the seal", Sha256(Slice(trailer, 0, 128)), Slice(trailer, 128, 32));
    CHECK_FIELD("the rest", true, AllZero(trailer, 160));
  }
  if (files != ListDirectory(dir))
    return ::testing::AssertionFailure() << dir << " holds other files";
  return ::testing::AssertionSuccess();
}

// Every format version with its sample directory stream-v<version>.
struct StreamVersion {
  uint32_t version;
  ::testing::AssertionResult (*check)(const std::string &dir);
};
const StreamVersion kVersions[] = {
    {1, CheckVersion1},
};
void PrintTo(const StreamVersion &v, std::ostream *out) {
  *out << "version " << v.version;
}

const StreamVersion *FindVersion(uint32_t version) {
  for (const StreamVersion &v : kVersions)
    if (v.version == version) return &v;
  return nullptr;
}

std::string SampleDir(uint32_t version) {
  return SamplesRoot() + "/stream-v" + std::to_string(version);
}

TEST(StreamSamplesTest, EveryCommittedVersionHasAChecker) {
  std::vector<std::string> committed, checked;
  for (const std::string &name : ListDirectory(SamplesRoot()))
    if (name.compare(0, 8, "stream-v") == 0) committed.push_back(name);
  for (const StreamVersion &v : kVersions)
    checked.push_back("stream-v" + std::to_string(v.version) + "/");
  std::sort(checked.begin(), checked.end());
  EXPECT_EQ(checked, committed);
}

class StreamSampleTest : public ::testing::TestWithParam<StreamVersion> {};

TEST_P(StreamSampleTest, HoldsTheStreamAndRestoresToday) {
  const std::string committed = SampleDir(GetParam().version);
  EXPECT_TRUE(GetParam().check(committed));

  TempDir dir;
  CopyDirectory(committed, dir.Sub("copy"));
  ASSERT_TRUE(RunCommand(ShellQuote(Korbr()) + " restore --quiet --device " +
                         ShellQuote(StreamSampleDevice(dir.Sub("copy"))) + " " +
                         ShellQuote(dir.Sub("out"))));
  Bytes expect(StreamSample().length);
  FillStream(StreamSample().seed, 0, expect.data(), expect.size());
  EXPECT_EQ(expect, ReadWholeFile(dir.Sub("out")));
}

INSTANTIATE_TEST_SUITE_P(
    Frozen, StreamSampleTest, ::testing::ValuesIn(kVersions),
    [](const ::testing::TestParamInfo<StreamVersion> &info) {
      return "v" + std::to_string(info.param.version);
    });

TEST(StreamSamplesTest, TodaysStreamIsAVersionWithASample) {
  TempDir dir;
  uint32_t version = 0;
  ASSERT_TRUE(WriteStreamSample(Korbr(), dir.path(), &version));
  const StreamVersion *known = FindVersion(version);
  ASSERT_NE(nullptr, known)
      << "korbr writes stream format version " << version
      << ", which has no sample: make tests/samples/stream-v" << version
      << " and its checker (tests/samples/README.md)";
  EXPECT_TRUE(known->check(dir.path()));
}

}  // namespace
}  // namespace korit
