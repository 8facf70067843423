// Writes every frozen sample with today's code into a new directory:
//
//   korbr_make_samples --korbr PATH/TO/korbr OUTDIR
//
// OUTDIR must not exist yet.  The committed samples are never written over:
// a new korbr stream version gets its own stream-v<N>[-VARIANT] directories
// copied from OUTDIR, and the disk and tape samples must come out the same as the
// committed ones (the sample tests check that).  tests/samples/README.md
// says how each sample was made.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "samples/sample_catalog.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: korbr_make_samples --korbr PATH OUTDIR\n");
  return 2;
}

bool Report(const char *what, const ::testing::AssertionResult &result) {
  if (!result) std::fprintf(stderr, "%s: %s\n", what, result.message());
  return static_cast<bool>(result);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4 || std::strcmp(argv[1], "--korbr") != 0) return Usage();
  const std::string korbr = argv[2];
  const std::string out = argv[3];
  if (::mkdir(out.c_str(), 0777) != 0) {
    std::perror(out.c_str());
    return 1;
  }
  setenv("KORDBG", "0", 1);  // the library's trace would drown the report
  bool ok = true;
  for (const korit::DiskSample &sample : korit::DiskSamples()) {
    const std::string dir = out + "/disk/" + sample.name;
    std::filesystem::create_directories(dir);
    ok = Report(sample.name, korit::WriteDiskSample(sample, dir)) && ok;
  }
  std::filesystem::create_directories(out + "/vtape");
  ok = Report("vtape", korit::WriteTapeSample(korbr, out + "/vtape")) && ok;

  for (const korit::StreamVariant &variant : korit::StreamVariants()) {
    const std::string scratch = out + "/stream" + variant.suffix;
    std::filesystem::create_directories(scratch);
    uint32_t version = 0;
    if (Report("stream",
               korit::WriteStreamSample(korbr, scratch, variant, &version))) {
      const std::string dir =
          out + "/" + korit::StreamSampleName(version, variant);
      std::filesystem::rename(scratch, dir);
      std::printf("korbr wrote stream format version %u: %s\n", version,
                  dir.c_str());
    } else {
      ok = false;
    }
  }
  std::printf("samples %s in %s\n", ok ? "written" : "NOT all written",
              out.c_str());
  return ok ? 0 : 1;
}
