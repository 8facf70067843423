// Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/:
//   make_seeds DIRECTORY      (DIRECTORY = the fuzz/corpus folder)
// The seeds are committed; this program is how they were made.
//
//   devstring_fuzzer    device strings: disk and tape, every key, and a few
//                       the parser must refuse
//   volume_fuzzer       volume files a backup of the library wrote (on the
//                       scripted OS layer), in the target's input layout:
//                       one volume, two volumes, a stripe 5 pair
//   tape_image_fuzzer   a cartridge image a backup wrote onto a virtual
//                       tape drive, and small images of every object kind
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "korbr/korbr.h"
#include "os/fake_os.h"
#include "os/os_layer.h"
#include "os/tape/simh_image.h"
#include "os/tape/virtual_tape.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Save(const std::string &dir, const std::string &name, const Bytes &bytes) {
  std::filesystem::create_directories(dir);
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
    std::exit(1);
  }
}

Bytes Text(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes Pattern(size_t count, uint32_t seed) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i)
    bytes[i] = static_cast<uint8_t>('a' + (seed + i * 7) % 26);
  return bytes;
}

bool Backup(int32_t stripe, const std::string &devstring,
            const std::vector<size_t> &requests) {
  OpenParams params;
  std::memset(&params, 0, sizeof params);
  params.archdev[stripe] = devstring.c_str();
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *h = kor_open(stripe, &params, KOR_MODE_WRITE, &msg);
  if (h == nullptr) {
    std::fprintf(stderr, "backup open failed: %s\n", msg.text);
    return false;
  }
  bool ok = true;
  uint32_t seed = 1;
  for (size_t length : requests) {
    const Bytes data = Pattern(length, seed++);
    ok = ok && kor_write(h, data.data(), static_cast<int32_t>(length), &msg) == 0;
  }
  ok = kor_close(h, KOR_CLOSE_NORMAL, &msg) == 0 && ok;
  if (!ok) std::fprintf(stderr, "backup failed: %s\n", msg.text);
  return ok;
}

// The volume fuzzer's layout: flags, the cut (little endian), the bytes.
Bytes VolumeInput(uint8_t flags, const Bytes &first, const Bytes &second) {
  Bytes input = {flags, static_cast<uint8_t>(first.size()),
                 static_cast<uint8_t>(first.size() >> 8)};
  input.insert(input.end(), first.begin(), first.end());
  input.insert(input.end(), second.begin(), second.end());
  return input;
}

void DeviceStrings(const std::string &dir) {
  const char *strings[] = {
      "devname=C:\\bk\\s1;dbtype=ZDBn",
      "devname=bk\\sales;dbtype=ZDBX;capacity=256;reqfreekb=64;attended=0",
      "devname=/var/backups/sales.s0;dbtype=Unkn;capacity=1048576",
      "devname=\\\\.\\TAPE0;dbtype=ZDBn;blocksize=1024;capacity=256;"
      "stacker=3;attended=0",
      "DEVNAME=\\\\.\\tape0;DBTYPE=zdbn;BLOCKSIZE=161",
      "devname=C:\\bk\\full;dbtype=ZDBn;backup_id=42;prev_backup_id=41;"
      "total_tapes=2;creator=operator;type=Full;method=Imag;"
      "location=vault 3",
      "devname=D:sales;dbtype=ZDBn;type=Incr;method=Arch",
      "devname=C:\\bk\\x;dbtype=ZDBn;type=InSF;method=Othr;capacity=-1",
      "devname=C:\\bk\\y;dbtype=ZDBn;blocksize=16777215;stacker=9999",
      "devname=..\\up\\s1;dbtype=ZDBn;capacity=300;",
      "devname=C:\\bk\\s1",                                // no dbtype
      "devname=C:\\bk\\s1;dbtype=ZDBn;averyveryverylongkey=1",  // key too long
      "devname=C:\\bk\\s1;dbtype=ZDBn;blocksize=160",      // block too small
      "",
  };
  int n = 0;
  for (const char *s : strings) {
    char name[32];
    std::snprintf(name, sizeof name, "devstring-%02d", ++n);
    Save(dir, name, Text(s));
  }
}

void VolumeFiles(const std::string &dir) {
  kor::ScopedFakeOs fake(kor::PathStyle::kWindows);
  // One small volume: a few requests and the closing labels.
  if (!Backup(0, "devname=C:\\bk\\s1;dbtype=ZDBn", {100, 1, 300, 160, 0, 77}))
    std::exit(1);
  const Bytes one = fake->FileContent("C:\\bk\\s1.1");
  Save(dir, "one-volume", VolumeInput(0x00, one, {}));
  Save(dir, "one-volume-attended-small-reads", VolumeInput(0x04 | 0x08, one, {}));

  // Two volumes of stripe 5: the first ends in the end-of-volume labels.
  // A volume holds at least 256 KB, so a long first volume is cut short
  // by hand after the end-of-volume record is put where the backup put it.
  if (!Backup(5, "devname=C:\\bk\\s5;dbtype=ZDBn;capacity=256",
              {261000, 1000, 600}))
    std::exit(1);
  Bytes first = fake->FileContent("C:\\bk\\s5.1");
  const Bytes second = fake->FileContent("C:\\bk\\s5.2");
  // Keep the header labels, 300 bytes of data and the end-of-volume record.
  const Bytes eov(first.end() - 160, first.end());
  first.resize(228 + 300);
  first.insert(first.end(), eov.begin(), eov.end());
  Save(dir, "two-volumes-stripe5", VolumeInput(0x01 | 0x02 | 0x10, first, second));
  Save(dir, "two-volumes-stripe0-refused", VolumeInput(0x01, first, second));
}

void TapeImages(const std::string &dir) {
  // A real backup onto a virtual drive in a temporary device directory.
  char pattern[] = "/tmp/korbr-seeds-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::exit(1);
  const std::string root = pattern;
  kor::VirtualDriveState state;
  state.cartridges = 2;
  state.capacity = 1 << 20;
  state.loaded = 1;
  std::string why;
  if (!kor::CreateVirtualDrive(root + "/TAPE0", state, &why)) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
  }
  ::setenv("KOR_DEVICE_DIR", root.c_str(), 1);
  ::setenv("KORDBG", "0", 1);
  ::setenv("KOR_DO_NOT_OFFL", "1", 1);
  if (!Backup(0, "devname=\\\\.\\TAPE0;dbtype=ZDBn;blocksize=512;attended=0",
              {512, 100, 1000, 0}))
    std::exit(1);
  std::ifstream in(kor::CartridgePath(root + "/TAPE0", 1), std::ios::binary);
  const Bytes image((std::istreambuf_iterator<char>(in)),
                    std::istreambuf_iterator<char>());
  Save(dir, "backup-on-a-virtual-drive", image);
  std::filesystem::remove_all(root);

  // Every object kind: odd and even records, tape marks, the end of the
  // medium with bytes after it.
  Bytes objects;
  const Bytes odd = Pattern(5, 1), even = Pattern(8, 2);
  kor::simh::AppendRecord(&objects, odd.data(), 5);
  kor::simh::AppendTapeMark(&objects);
  kor::simh::AppendRecord(&objects, even.data(), 8);
  kor::simh::AppendTapeMark(&objects);
  kor::simh::AppendTapeMark(&objects);
  Save(dir, "records-and-marks", objects);
  kor::simh::AppendEndOfMedium(&objects);
  objects.insert(objects.end(), {1, 2, 3});
  Save(dir, "end-of-medium", objects);
  // The same bytes as a drive's state file.
  Save(dir, "state-file", Text(kor::FormatVtapeState(state)));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds CORPUS_DIRECTORY\n");
    return 2;
  }
  const std::string corpus = argv[1];
  DeviceStrings(corpus + "/devstring_fuzzer");
  VolumeFiles(corpus + "/volume_fuzzer");
  TapeImages(corpus + "/tape_image_fuzzer");
  return 0;
}
