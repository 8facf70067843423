// Backup and restore throughput of libkorbr on disk stripes, against plain
// write()/read() doing the same work in the same process and the same run.
//
//   korbr_throughput [--dir DIR] [--megabytes N] [--stripes N]
//                    [--request BYTES] [--capacity KB] [--pairs N]
//
// Like with like: both sides run one thread per stripe; every thread moves
// the same number of requests of the same size from the same source buffer
// (random bytes, one buffer for all); the raw side starts a new file where a
// library volume would end (the same bytes of data a volume holds), so both
// open, fill and close as many files.  Durability follows the library's:
// with KOR_NO_FLUSH set (the library skips its flushes) the raw side does
// not flush either, and the figures are the cost of the two paths through
// the page cache; without it the raw side fdatasyncs every file before
// closing it and fsyncs the directory once after creating it, which is what
// the library does for a backup volume.
//
// Each pair runs the two sides back to back, in alternating order from one
// pair to the next (raw first, then library first, ...), backups then
// restores of the files just written; a pair's files are removed before the
// next.  Reported per figure: the median over the pairs of the library's
// rate and CPU time (user + system of this process, from getrusage) as
// ratios against the raw side of the same pair, with their range.  A
// benchmark, not a test: it judges nothing.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "korbr/korbr.h"

namespace {

struct Options {
  std::string dir = "/tmp";
  long megabytes = 256;  // the whole stream, over all stripes
  int stripes = 4;
  int request = 65536;
  long capacity_kb = 262144;  // 256 MiB volumes
  int pairs = 5;
};

// The data a library volume holds: its capacity less the header labels.
constexpr uint64_t kVolumeHeaderBytes = 228;

void KOR_CALL FormatText(int32_t number, char *text, int32_t size,
                         KorMessageArg *) {
  std::snprintf(text, static_cast<size_t>(size), "error %d", number);
}
void KOR_CALL Info(int32_t, KorMessageArg *, int32_t, void *) {}
int32_t KOR_CALL NotCancelled() { return 0; }

[[noreturn]] void Die(const std::string &what) {
  std::fprintf(stderr, "korbr_throughput: %s\n", what.c_str());
  std::exit(1);
}

struct Cost {
  double wall = 0;  // seconds
  double cpu = 0;   // user + system seconds of the whole process
};

double CpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) /
             1e6;
}

// Runs body(stripe) in one thread per stripe; its wall and CPU time.
Cost Measure(int stripes, const std::function<void(int)> &body) {
  const double cpu = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int s = 0; s < stripes; ++s) threads.emplace_back(body, s);
  for (auto &t : threads) t.join();
  Cost cost;
  cost.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                            start)
                  .count();
  cost.cpu = CpuSeconds() - cpu;
  return cost;
}

class Bench {
 public:
  Bench(const Options &o, const std::string &work)
      : o_(o),
        work_(work),
        durable_(std::getenv("KOR_NO_FLUSH") == nullptr),
        source_(static_cast<size_t>(o.request)) {
    std::mt19937 random(12345);
    for (uint8_t &b : source_) b = static_cast<uint8_t>(random());
    requests_ = (static_cast<uint64_t>(o.megabytes) << 20) /
                static_cast<uint64_t>(o.request) /
                static_cast<uint64_t>(o.stripes);
    const uint64_t room = static_cast<uint64_t>(o.capacity_kb) * 1024 -
                          kVolumeHeaderBytes;
    per_file_ = std::max<uint64_t>(1, room / static_cast<uint64_t>(o.request));
    for (int s = 0; s < o.stripes; ++s)
      devstrings_.push_back("devname=" + work + "/lib.s" + std::to_string(s) +
                            ";dbtype=ZDBn;capacity=" +
                            std::to_string(o.capacity_kb));
    std::memset(&params_, 0, sizeof params_);
    for (int s = 0; s < o.stripes; ++s)
      params_.archdev[s] = devstrings_[static_cast<size_t>(s)].c_str();
  }

  bool durable() const { return durable_; }
  uint64_t bytes() const {
    return requests_ * static_cast<uint64_t>(o_.request) *
           static_cast<uint64_t>(o_.stripes);
  }

  Cost RawWrite() {
    return Measure(o_.stripes, [this](int s) {
      int fd = -1;
      uint64_t in_file = 0, file = 0;
      for (uint64_t r = 0; r < requests_; ++r) {
        if (fd < 0 || in_file == per_file_) {
          if (fd >= 0) CloseRaw(fd);
          fd = ::open(RawName(s, ++file).c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC, 0644);
          if (fd < 0) Die("cannot create " + RawName(s, file));
          if (durable_) SyncDirectory();
          in_file = 0;
        }
        WriteAll(fd, source_.data(), source_.size());
        ++in_file;
      }
      if (fd >= 0) CloseRaw(fd);
    });
  }

  Cost RawRead() {
    return Measure(o_.stripes, [this](int s) {
      std::vector<uint8_t> buffer(source_.size());
      int fd = -1;
      uint64_t in_file = 0, file = 0;
      for (uint64_t r = 0; r < requests_; ++r) {
        if (fd < 0 || in_file == per_file_) {
          if (fd >= 0) ::close(fd);
          fd = ::open(RawName(s, ++file).c_str(), O_RDONLY);
          if (fd < 0) Die("cannot open " + RawName(s, file));
          in_file = 0;
        }
        ReadAll(fd, buffer.data(), buffer.size());
        ++in_file;
      }
      if (fd >= 0) ::close(fd);
    });
  }

  Cost Library(int mode) {
    std::atomic<bool> failed{false};
    Cost cost = Measure(o_.stripes, [&, mode](int s) {
      MessageBuffer msg;
      std::vector<uint8_t> buffer(source_.size());
      void *h = kor_open(s, &params_, mode, &msg);
      if (h == nullptr) {
        std::fprintf(stderr, "open stripe %d: %s\n", s, msg.text);
        failed = true;
        return;
      }
      for (uint64_t r = 0; r < requests_; ++r) {
        const int rc =
            mode == KOR_MODE_WRITE
                ? kor_write(h, source_.data(), o_.request, &msg)
                : kor_read(h, buffer.data(), o_.request, &msg);
        if (rc != 0) {
          std::fprintf(stderr, "stripe %d: %s\n", s, msg.text);
          failed = true;
          break;
        }
      }
      if (kor_close(h, KOR_CLOSE_NORMAL, &msg) != 0) failed = true;
    });
    if (failed) Die("the library failed");
    return cost;
  }

  void RemoveFiles() {
    if (std::system(("rm -f '" + work_ + "'/raw.s* '" + work_ + "'/lib.s*")
                        .c_str()) != 0)
      Die("cannot remove the files in " + work_);
  }

 private:
  std::string RawName(int stripe, uint64_t file) const {
    return work_ + "/raw.s" + std::to_string(stripe) + "." +
           std::to_string(file);
  }
  void CloseRaw(int fd) {
    if (durable_ && ::fdatasync(fd) != 0) Die("fdatasync failed");
    if (::close(fd) != 0) Die("close failed");
  }
  void SyncDirectory() {
    const int dir = ::open(work_.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir < 0 || ::fsync(dir) != 0) Die("cannot fsync " + work_);
    ::close(dir);
  }
  static void WriteAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd, data, size);
      if (n <= 0) Die("write failed");
      data += n;
      size -= static_cast<size_t>(n);
    }
  }
  static void ReadAll(int fd, uint8_t *data, size_t size) {
    while (size > 0) {
      const ssize_t n = ::read(fd, data, size);
      if (n <= 0) Die("read failed");
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  const Options &o_;
  std::string work_;
  bool durable_;
  std::vector<uint8_t> source_;
  uint64_t requests_ = 0;  // per stripe
  uint64_t per_file_ = 0;  // requests a raw file (a library volume) holds
  std::vector<std::string> devstrings_;
  OpenParams params_;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Figure {
  std::vector<Cost> raw, lib;

  void Print(const char *name, double mib) const {
    std::vector<double> rate, cpu, raw_rate, lib_rate, raw_cpu, lib_cpu;
    for (size_t i = 0; i < raw.size(); ++i) {
      rate.push_back(raw[i].wall / lib[i].wall);
      cpu.push_back(lib[i].cpu / raw[i].cpu);
      raw_rate.push_back(mib / raw[i].wall);
      lib_rate.push_back(mib / lib[i].wall);
      raw_cpu.push_back(raw[i].cpu);
      lib_cpu.push_back(lib[i].cpu);
    }
    auto range = [](const std::vector<double> &v) {
      char text[64];
      std::snprintf(text, sizeof text, "%.2f-%.2f",
                    *std::min_element(v.begin(), v.end()),
                    *std::max_element(v.begin(), v.end()));
      return std::string(text);
    };
    std::printf("%-8s %9.0f %9.0f   %5.2f x [%s]   %6.2f %6.2f   %5.2f x [%s]\n",
                name, Median(raw_rate), Median(lib_rate), Median(rate),
                range(rate).c_str(), Median(raw_cpu), Median(lib_cpu),
                Median(cpu), range(cpu).c_str());
  }
};

bool ParseOptions(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; i += 2) {
    const std::string key = argv[i];
    if (i + 1 >= argc) return false;
    const char *value = argv[i + 1];
    if (key == "--dir") o->dir = value;
    else if (key == "--megabytes") o->megabytes = std::atol(value);
    else if (key == "--stripes") o->stripes = std::atoi(value);
    else if (key == "--request") o->request = std::atoi(value);
    else if (key == "--capacity") o->capacity_kb = std::atol(value);
    else if (key == "--pairs") o->pairs = std::atoi(value);
    else return false;
  }
  return o->megabytes > 0 && o->stripes >= 1 && o->stripes <= KOR_MAX_STRIPES &&
         o->request > 0 && o->capacity_kb >= 256 && o->pairs >= 1;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: korbr_throughput [--dir DIR] [--megabytes N] "
                 "[--stripes N] [--request BYTES] [--capacity KB] "
                 "[--pairs N]\n");
    return 2;
  }
  setenv("KORDBG", "0", 0);  // the trace would go to the output (and cost)
  kor_register_format_string(FormatText);
  kor_register_info_callback(Info);
  kor_register_cancelled(NotCancelled);

  std::string work = o.dir + "/korbr-bench-XXXXXX";
  if (mkdtemp(&work[0]) == nullptr) Die("mkdtemp in " + o.dir + " failed");
  Bench bench(o, work);

  Figure backup, restore;
  for (int pair = 0; pair < o.pairs; ++pair) {
    const bool raw_first = pair % 2 == 0;
    if (raw_first) {
      backup.raw.push_back(bench.RawWrite());
      backup.lib.push_back(bench.Library(KOR_MODE_WRITE));
      restore.raw.push_back(bench.RawRead());
      restore.lib.push_back(bench.Library(KOR_MODE_READ));
    } else {
      backup.lib.push_back(bench.Library(KOR_MODE_WRITE));
      backup.raw.push_back(bench.RawWrite());
      restore.lib.push_back(bench.Library(KOR_MODE_READ));
      restore.raw.push_back(bench.RawRead());
    }
    bench.RemoveFiles();
  }
  rmdir(work.c_str());

  const double mib = static_cast<double>(bench.bytes()) / (1 << 20);
  std::printf("%.0f MiB over %d stripe%s, %d-byte requests, %ld KB volumes, "
              "%s; median of %d interleaved pairs [range]\n",
              mib, o.stripes, o.stripes == 1 ? "" : "s", o.request,
              o.capacity_kb,
              bench.durable()
                  ? "durable (raw side fdatasyncs; KOR_NO_FLUSH unset)"
                  : "page cache (KOR_NO_FLUSH set; neither side flushes)",
              o.pairs);
  std::printf("%-8s %9s %9s   %-18s   %6s %6s   %s\n", "", "raw MiB/s",
              "lib MiB/s", "rate lib/raw", "raw s", "lib s", "CPU lib/raw");
  backup.Print("backup", mib);
  restore.Print("restore", mib);
  return 0;
}
