// Stripes driven in parallel, as a host runs them: one thread per stripe.
//
// Strategy: eight threads back up eight stripes at once through the
// exported functions (each stripe spanning several small volumes, so
// volume switches, opens and closes overlap), then restore them at once,
// then back up half of them anew while the other half is being restored.
// Every volume file is checked and every byte compared; the host callbacks
// run concurrently from the threads and must all be recorded.
#include <string>
#include <thread>
#include <vector>

#include "host_harness.h"

namespace korit {
namespace {

constexpr int kStripes = 8;

StreamPlan StripePlan(int stripe, uint32_t round) {
  StreamPlan plan;
  plan.seed = round * 100 + static_cast<uint32_t>(stripe);
  plan.total = 600000 + static_cast<uint64_t>(stripe) * 7919;
  plan.request = 4095 + stripe * 1021;  // a different request size per stripe
  plan.stripes = 1;
  plan.first_stripe = stripe;
  return plan;
}

// Runs job(stripe) on one thread per stripe and returns the failures.
template <typename Job>
std::vector<std::string> RunOnThreads(Job job) {
  std::vector<std::string> failures(kStripes);
  std::vector<std::thread> threads;
  for (int s = 0; s < kStripes; ++s)
    threads.emplace_back([&failures, &job, s] {
      ::testing::AssertionResult result = job(s);
      if (!result) failures[static_cast<size_t>(s)] = result.message();
    });
  for (std::thread &t : threads) t.join();
  return failures;
}

void ExpectNoFailures(const std::vector<std::string> &failures) {
  for (int s = 0; s < kStripes; ++s)
    EXPECT_TRUE(failures[static_cast<size_t>(s)].empty())
        << "stripe " << s << ": " << failures[static_cast<size_t>(s)];
}

TEST(ConcurrencyTest, EightStripesBackedUpAndRestoredAtOnce) {
  ResetHost();
  TempDir dir;
  HostParams params;
  for (int s = 0; s < kStripes; ++s)
    params.SetDevice(s, SmallDiskDevice(dir.Sub("s" + std::to_string(s))));

  ExpectNoFailures(RunOnThreads([&](int s) { return BackupStream(params, StripePlan(s, 1)); }));
  for (int s = 0; s < kStripes; ++s) {
    int volumes = 0;
    EXPECT_TRUE(CheckVolumeFiles(dir.Sub("s" + std::to_string(s)), StripePlan(s, 1), s,
                                 kMinCapacityBytes, &volumes))
        << "stripe " << s;
    EXPECT_GE(volumes, 3) << "stripe " << s;
  }
  ExpectNoFailures(
      RunOnThreads([&](int s) { return RestoreAndCompare(params, StripePlan(s, 1)); }));

  // Even stripes are restored again while the odd ones are overwritten
  // with a new backup.
  ExpectNoFailures(RunOnThreads([&](int s) {
    return s % 2 == 0 ? RestoreAndCompare(params, StripePlan(s, 1))
                      : BackupStream(params, StripePlan(s, 2));
  }));
  for (int s = 0; s < kStripes; ++s)
    EXPECT_TRUE(CheckVolumeFiles(dir.Sub("s" + std::to_string(s)), StripePlan(s, s % 2 ? 2 : 1),
                                 s, kMinCapacityBytes))
        << "stripe " << s;
  ExpectNoFailures(RunOnThreads(
      [&](int s) { return RestoreAndCompare(params, StripePlan(s, s % 2 ? 2 : 1)); }));

  EXPECT_TRUE(RecordedErrors().empty());
  // capacity=256 is reported at every one of the 4 * 8 opens, from
  // whichever thread made it.
  EXPECT_EQ(CountInfos(9237), 4 * kStripes);
}

}  // namespace
}  // namespace korit
