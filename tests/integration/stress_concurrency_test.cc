// All 32 stripes at once, with every trace line on.
//
// Strategy: 32 threads, one per stripe, are released together through the
// exported functions: first each backs up its own stream onto small disk
// volumes (every stripe switches volumes, so opens, closes and label
// writes of different stripes overlap), then the even stripes restore
// while the odd ones back up a new stream over their old one, then all 32
// restore.  Every byte is compared and every volume file checked.  Tracing
// is on for every family (KORDBG=255) and standard output is captured for
// the run: every captured line must be whole, a line of one stripe or a
// repeat notice, never the pieces of two lines run together, and every
// stripe's handles must be announced once per open.  The ThreadSanitizer
// build of the tests runs this too, where any data race fails it.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_harness.h"

namespace korit {
namespace {

constexpr int kStripes = KOR_MAX_STRIPES;
constexpr int kOpensPerStripe = 3;

StreamPlan Plan(int stripe, uint32_t round) {
  StreamPlan plan;
  plan.seed = 1000 + round * 100 + static_cast<uint32_t>(stripe);
  // Two volumes of 256 KB each, a different request size per stripe.
  plan.total = 300000 + static_cast<uint64_t>(stripe) * 1009;
  plan.request = 4000 + stripe * 97;
  plan.stripes = 1;
  plan.first_stripe = stripe;
  return plan;
}

// Runs job(stripe) on one thread per stripe, all released at once, and
// gives back each stripe's failure (empty when it succeeded).
template <typename Job>
std::vector<std::string> AllAtOnce(Job job) {
  std::vector<std::string> failures(kStripes);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int s = 0; s < kStripes; ++s)
    threads.emplace_back([&, s] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      ::testing::AssertionResult result = job(s);
      if (!result) failures[static_cast<size_t>(s)] = result.message();
    });
  while (ready.load() != kStripes) std::this_thread::yield();
  go.store(true);
  for (std::thread &t : threads) t.join();
  return failures;
}

// Standard output into a file for the life of the object.  Nothing may
// report a test failure meanwhile: gtest would print it into the file.
class CapturedStdout {
 public:
  explicit CapturedStdout(const std::string &path) : path_(path) {
    std::fflush(nullptr);
    saved_ = ::dup(1);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ok_ = saved_ >= 0 && fd >= 0 && ::dup2(fd, 1) == 1;
    if (fd >= 0) ::close(fd);
  }
  ~CapturedStdout() { Restore(); }
  bool ok() const { return ok_; }
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(nullptr);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
  }
  std::string Text() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string path_;
  int saved_ = -1;
  bool ok_ = false;
};

// A captured line is whole when it is one stripe's line (exactly one
// "Stripe " in it, at its start), a repeat notice, or a line of the tape
// parameter dump; anything else is the remains of lines torn apart.
bool IsWholeLine(const std::string &line) {
  static const char *const kDump[] = {"NativeCapacity ", "ECC ", "DefBS "};
  if (line.rfind("Previous message repeated ", 0) == 0)
    return line.size() > 32 &&
           line.compare(line.size() - 6, 6, " times") == 0 &&
           line.find("Stripe ") == std::string::npos;
  for (const char *dump : kDump)
    if (line.rfind(dump, 0) == 0) return line.find("Stripe ") == std::string::npos;
  return line.rfind("Stripe ", 0) == 0 && line.find("Stripe ", 1) == std::string::npos;
}

void ExpectNoFailures(const char *phase, const std::vector<std::string> &failures) {
  for (int s = 0; s < kStripes; ++s)
    EXPECT_TRUE(failures[static_cast<size_t>(s)].empty())
        << phase << ", stripe " << s << ": " << failures[static_cast<size_t>(s)];
}

TEST(StressConcurrencyTest, ThirtyTwoStripesBackUpAndRestoreAtOnceWithWholeTraceLines) {
  ResetHost();
  TempDir dir;
  HostParams params;
  for (int s = 0; s < kStripes; ++s)
    params.SetDevice(s, SmallDiskDevice(dir.Sub("s" + std::to_string(s))));

  const char *previous_mask = std::getenv("KORDBG");
  const std::string saved_mask = previous_mask != nullptr ? previous_mask : "";
  ::setenv("KORDBG", "255", 1);  // read by every kor_open
  std::vector<std::string> first, second, third;
  {
    CapturedStdout captured(dir.Sub("trace.txt"));
    if (captured.ok()) {
      first = AllAtOnce([&](int s) { return BackupStream(params, Plan(s, 1)); });
      second = AllAtOnce([&](int s) {
        return s % 2 == 0 ? RestoreAndCompare(params, Plan(s, 1))
                          : BackupStream(params, Plan(s, 2));
      });
      third = AllAtOnce([&](int s) {
        return RestoreAndCompare(params, Plan(s, s % 2 == 0 ? 1 : 2));
      });
    }
    captured.Restore();
    ASSERT_TRUE(captured.ok()) << "standard output could not be captured";
    if (previous_mask != nullptr) {
      ::setenv("KORDBG", saved_mask.c_str(), 1);
    } else {
      ::unsetenv("KORDBG");
    }

    ExpectNoFailures("first backups", first);
    ExpectNoFailures("restores and second backups", second);
    ExpectNoFailures("last restores", third);
    for (int s = 0; s < kStripes; ++s) {
      int volumes = 0;
      EXPECT_TRUE(CheckVolumeFiles(dir.Sub("s" + std::to_string(s)),
                                   Plan(s, s % 2 == 0 ? 1 : 2), s,
                                   kMinCapacityBytes, &volumes))
          << "stripe " << s;
      EXPECT_EQ(volumes, 2) << "stripe " << s;
    }
    EXPECT_TRUE(RecordedErrors().empty());

    const std::string text = captured.Text();
    ASSERT_FALSE(text.empty()) << "no trace was written";
    EXPECT_EQ(text.back(), '\n') << "the trace ends inside a line";
    std::istringstream lines(text);
    std::string line;
    int torn = 0, count = 0;
    std::vector<int> announced(kStripes, 0);
    while (std::getline(lines, line)) {
      ++count;
      if (!IsWholeLine(line)) {
        if (++torn <= 5) ADD_FAILURE() << "a torn trace line: \"" << line << "\"";
        continue;
      }
      int stripe = -1;
      char tail[64] = {};
      if (std::sscanf(line.c_str(), "Stripe %d %63[^\n]", &stripe, tail) == 2 &&
          std::string(tail) == "********** Initializing new handle **********" &&
          stripe >= 0 && stripe < kStripes)
        ++announced[static_cast<size_t>(stripe)];
    }
    EXPECT_EQ(torn, 0) << "of " << count << " lines";
    for (int s = 0; s < kStripes; ++s)
      EXPECT_EQ(announced[static_cast<size_t>(s)], kOpensPerStripe) << "stripe " << s;
    // Transfers are traced too (bit 0x01): far more lines than opens.
    EXPECT_GT(count, kStripes * kOpensPerStripe * 50);
  }
}

}  // namespace
}  // namespace korit
