// Backup and restore throughput of libkorbr on disk stripes, beside dd
// moving the same number of bytes with the same block size on the same
// file system.  Reported as ratios measured in the same run.
//
//   korbr_throughput [--dir DIR] [--megabytes N] [--stripes N]
//                    [--request BYTES] [--capacity KB] [--runs N]
//                    [--s3 BUCKET]
//
// With --s3 the stripes are objects "s3://BUCKET/..." of the store the AWS_*
// variables name, and the baseline is the curl command line putting the
// same bytes as one object and getting it back (signing with the netrc
// file KOR_TEST_NETRC names, as bench/objstore_bench.sh sets up).
//
// The host drives one thread per stripe, as a backup utility does; every
// request goes through kor_write / kor_read of the shared library.  Both
// sides work through the page cache (neither forces data to the disk), so
// the ratio compares the cost of the two paths, not the disk.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "korbr/korbr.h"

namespace {

struct Options {
  std::string dir = "/tmp";
  long megabytes = 1024;
  int stripes = 4;
  int request = 65536;
  long capacity_kb = 262144;  // 256 MiB volumes: the run switches volumes
  int runs = 3;
  std::string bucket;  // --s3: object storage instead of files
};

void KOR_CALL FormatText(int32_t number, char *text, int32_t size,
                         KorMessageArg *) {
  std::snprintf(text, static_cast<size_t>(size), "error %d", number);
}
void KOR_CALL Info(int32_t, KorMessageArg *, int32_t, void *) {}
int32_t KOR_CALL NotCancelled() { return 0; }

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since)
      .count();
}

double RunShell(const std::string &command) {
  auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
  return Seconds(start);
}

// Runs one backup (mode 1) or restore (mode 0) of `total` bytes over the
// stripes, one thread each; returns the seconds taken.
double RunLibrary(const Options &o, const std::string &prefix, int mode,
                  uint64_t total) {
  std::vector<std::string> devstrings(o.stripes);
  OpenParams params;
  std::memset(&params, 0, sizeof params);
  for (int s = 0; s < o.stripes; ++s) {
    devstrings[s] = "devname=" + prefix + std::to_string(s) +
                    ";dbtype=ZDBn;capacity=" + std::to_string(o.capacity_kb);
    params.archdev[s] = devstrings[s].c_str();
  }
  const uint64_t requests = total / static_cast<uint64_t>(o.request);
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  bool failed = false;
  for (int s = 0; s < o.stripes; ++s) {
    threads.emplace_back([&, s] {
      MessageBuffer msg;
      std::vector<uint8_t> buffer(static_cast<size_t>(o.request), 0x5a);
      void *h = kor_open(s, &params, mode, &msg);
      if (h == nullptr) {
        std::fprintf(stderr, "open stripe %d: %s\n", s, msg.text);
        failed = true;
        return;
      }
      for (uint64_t r = static_cast<uint64_t>(s); r < requests;
           r += static_cast<uint64_t>(o.stripes)) {
        int rc = mode == 1 ? kor_write(h, buffer.data(), o.request, &msg)
                           : kor_read(h, buffer.data(), o.request, &msg);
        if (rc != 0) {
          std::fprintf(stderr, "stripe %d: %s\n", s, msg.text);
          failed = true;
          break;
        }
      }
      kor_close(h, KOR_CLOSE_NORMAL, &msg);
    });
  }
  for (auto &t : threads) t.join();
  const double seconds = Seconds(start);
  if (failed) std::exit(1);
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    const char *value = argv[i + 1];
    if (key == "--dir") o.dir = value;
    else if (key == "--megabytes") o.megabytes = std::atol(value);
    else if (key == "--stripes") o.stripes = std::atoi(value);
    else if (key == "--request") o.request = std::atoi(value);
    else if (key == "--capacity") o.capacity_kb = std::atol(value);
    else if (key == "--runs") o.runs = std::atoi(value);
    else if (key == "--s3") o.bucket = value;
    else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  kor_register_format_string(FormatText);
  kor_register_info_callback(Info);
  kor_register_cancelled(NotCancelled);

  std::string work = o.dir + "/korbr-bench-XXXXXX";
  if (mkdtemp(&work[0]) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const uint64_t total = static_cast<uint64_t>(o.megabytes) << 20;
  const uint64_t blocks = total / static_cast<uint64_t>(o.request);
  const std::string dd_file = work + "/dd.out";
  const std::string prefix = work + "/stripe";
  const std::string dd_common = " bs=" + std::to_string(o.request) +
                                " count=" + std::to_string(blocks) +
                                " status=none";

  std::vector<double> dd_write, dd_read, lib_write, lib_read, volume_read;
  if (!o.bucket.empty()) {
    // The same bytes the stripes write (0x5a), as one file for curl.
    const std::string source = work + "/object.in";
    RunShell("head -c " + std::to_string(total) + " /dev/zero | tr '\\0' Z >" + source);
    const char *netrc = std::getenv("KOR_TEST_NETRC");
    const char *endpoint = std::getenv("AWS_ENDPOINT_URL");
    if (netrc == nullptr || endpoint == nullptr) {
      std::fprintf(stderr, "--s3 needs AWS_ENDPOINT_URL and KOR_TEST_NETRC\n");
      return 2;
    }
    const std::string run_id = std::to_string(getpid());
    const std::string curl =
        std::string("curl -sS --fail -o /dev/null --netrc-file ") + netrc +
        " --aws-sigv4 aws:amz:us-east-1:s3 -H x-amz-content-sha256:UNSIGNED-PAYLOAD ";
    const std::string object = std::string(endpoint) + "/" + o.bucket +
                               "/bench-" + run_id + "/curl.object";
    const std::string stripes = "s3://" + o.bucket + "/bench-" + run_id + "/stripe";
    // The library's volumes are multipart objects, which a store may serve
    // more slowly than one object put whole; curl getting those very
    // objects tells the store's part from the library's.
    std::string volume_gets = "for s in $(seq 0 " + std::to_string(o.stripes - 1) +
                              "); do for v in $(seq 1 9999); do " + curl +
                              std::string(endpoint) + "/" + o.bucket + "/bench-" +
                              run_id + "/stripe$s.$v 2>/dev/null || break; done; done";
    for (int run = 0; run < o.runs; ++run) {
      dd_write.push_back(RunShell(curl + "-T " + source + " " + object));
      lib_write.push_back(RunLibrary(o, stripes, 1, total));
      dd_read.push_back(RunShell(curl + object));
      lib_read.push_back(RunLibrary(o, stripes, 0, total));
      volume_read.push_back(RunShell("bash -c '" + volume_gets + "'"));
    }
    unlink(source.c_str());
    rmdir(work.c_str());
  } else {
    for (int run = 0; run < o.runs; ++run) {
      dd_write.push_back(
          RunShell("dd if=/dev/zero of=" + dd_file + dd_common));
      dd_read.push_back(RunShell("dd if=" + dd_file + " of=/dev/null" + dd_common));
      unlink(dd_file.c_str());
      lib_write.push_back(RunLibrary(o, prefix, 1, total));
      lib_read.push_back(RunLibrary(o, prefix, 0, total));
      RunShell("rm -f " + prefix + "*");
    }
    rmdir(work.c_str());
  }

  const double mb = static_cast<double>(total) / (1 << 20);
  auto rate = [&](double seconds) { return mb / seconds; };
  std::printf("%.0f MiB, %d stripes, request %d bytes, %ld KB volumes, "
              "median of %d runs\n",
              mb, o.stripes, o.request, o.capacity_kb, o.runs);
  const char *baseline = o.bucket.empty() ? "dd" : "curl";
  std::printf("backup : libkorbr %8.1f MiB/s   %s %8.1f MiB/s   ratio %.2f\n",
              rate(Median(lib_write)), baseline, rate(Median(dd_write)),
              Median(dd_write) / Median(lib_write));
  std::printf("restore: libkorbr %8.1f MiB/s   %s %8.1f MiB/s   ratio %.2f\n",
              rate(Median(lib_read)), baseline, rate(Median(dd_read)),
              Median(dd_read) / Median(lib_read));
  if (!volume_read.empty())
    std::printf("restore: libkorbr %8.1f MiB/s   curl getting the volume "
                "objects %8.1f MiB/s   ratio %.2f\n",
                rate(Median(lib_read)), rate(Median(volume_read)),
                Median(volume_read) / Median(lib_read));
  return 0;
}
