// Round trips over many random configurations, through the exported
// functions on real directories: 1 to 8 stripes, volume capacities from the
// smallest (256 KB) up, request sizes from 1 byte to several 64 KB blocks
// (mixed within one stream), streams from empty to many volumes, some
// requests beginning with the bytes of a trailer record.  Each
// backup is restored and compared byte for byte, and every volume file is
// checked against the layout the plan implies (labels, whole requests,
// EOV/EOF trailers, no file after the last volume).
//
// The run is seeded: a failure prints the seed and the configuration.
// KORBR_PROPERTY_SEED replays one seed; KORBR_PROPERTY_ITERATIONS (default
// 30) makes a longer soak.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

#include "host_harness.h"

namespace korit {
namespace {

uint64_t EnvNumber(const char *name, uint64_t fallback) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10)
                                            : fallback;
}

struct Config {
  StreamPlan plan;
  uint32_t capacity_kb = 256;
  std::string Describe() const {
    std::ostringstream out;
    out << "stripes " << plan.stripes << ", capacity " << capacity_kb
        << " KB, " << plan.lengths.size() << " requests"
        << (plan.heads.empty() ? "" : ", some beginning like trailers");
    return out.str();
  }
};

// A random configuration whose stream stays small enough to run in well
// under a second, yet spans volumes in most draws.
Config Draw(std::mt19937_64 &rng, uint32_t seed) {
  auto pick = [&](uint64_t low, uint64_t high) {
    return std::uniform_int_distribution<uint64_t>(low, high)(rng);
  };
  Config c;
  c.plan.seed = seed;
  c.capacity_kb = static_cast<uint32_t>(256 + 64 * pick(0, 12));
  // Request sizes: one class per stream, sometimes mixed.
  static const uint64_t kClasses[][2] = {
      {1, 200}, {150, 170}, {200, 5000}, {5000, 70000}, {60000, 200000}};
  const bool mixed = pick(0, 3) == 0;
  const auto &cls = kClasses[pick(0, 4)];
  const uint64_t budget = pick(0, 6) == 0 ? 0 : pick(1, 6) << 20;
  uint64_t total = 0;
  while (total < budget && c.plan.lengths.size() < 8000) {
    const auto &use = mixed ? kClasses[pick(0, 4)] : cls;
    const uint64_t length = pick(use[0], use[1]);
    c.plan.lengths.push_back(static_cast<int32_t>(length));
    total += length;
  }
  // In some streams, requests that begin like the trailer records (a
  // backup of volume files): data all the same, wherever they fall.
  if (pick(0, 2) == 0) {
    for (size_t k = 0; k < c.plan.lengths.size(); ++k) {
      const uint64_t draw = pick(0, 15);
      c.plan.heads.push_back(draw == 0   ? Head::kEov
                             : draw == 1 ? Head::kEof
                                         : Head::kPlain);
    }
  }
  // Few enough stripes that most of them span volumes: a stripe gets about
  // total / stripes bytes.
  const uint64_t spanning = total / (uint64_t{c.capacity_kb} * 1024);
  c.plan.stripes = static_cast<int>(pick(1, spanning < 1 ? 1 : spanning > 8 ? 8 : spanning));
  return c;
}

TEST(RoundtripPropertyTest, RandomConfigurationsRestoreByteForByte) {
  ResetHost();
  const uint64_t first_seed = EnvNumber("KORBR_PROPERTY_SEED", 0);
  const uint64_t iterations =
      first_seed != 0 ? 1 : EnvNumber("KORBR_PROPERTY_ITERATIONS", 30);
  const uint64_t base = first_seed != 0 ? first_seed : 20261208;
  for (uint64_t i = 0; i < iterations; ++i) {
    const uint32_t seed = static_cast<uint32_t>(base + i);
    std::mt19937_64 rng(seed);
    const Config c = Draw(rng, seed);
    SCOPED_TRACE("seed " + std::to_string(seed) + ": " + c.Describe());
    TempDir dir;
    HostParams params;
    std::vector<std::string> prefixes;
    for (int s = 0; s < c.plan.stripes; ++s) {
      prefixes.push_back(dir.Sub("s" + std::to_string(s)));
      params.SetDevice(s, DiskDevice(prefixes[s], "capacity=" +
                                                      std::to_string(c.capacity_kb)));
    }
    ASSERT_TRUE(BackupStream(params, c.plan));
    for (int s = 0; s < c.plan.stripes; ++s)
      ASSERT_TRUE(CheckVolumeFiles(prefixes[s], c.plan, s,
                                   uint64_t{c.capacity_kb} * 1024))
          << "stripe " << s;
    ASSERT_TRUE(RestoreAndCompare(params, c.plan));
    EXPECT_TRUE(RecordedErrors().empty());
    ResetHost();
  }
}

}  // namespace
}  // namespace korit
