// Disk volumes and the page cache: a backup and a restore leave a
// volume's pages out of the cache (a few pieces at most while the volume
// is open, none once it is closed), and KOR_CACHE=keep leaves them in.
//
// The pages cached are counted with mincore() on a mapping of the volume
// file, looked at while the stripe is still open (after its last request)
// and after its close.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host_harness.h"

namespace korit {
namespace {

constexpr int32_t kRequest = 1 << 20;
constexpr int kRequests = 48;  // one 48 MiB volume
constexpr uint64_t kMiB = 1 << 20;
// What an open volume may keep cached: three 8 MiB writeback pieces, and
// room for the system's read-ahead.
constexpr uint64_t kOpenBound = 32 * kMiB;
// What a closed volume may keep cached.
constexpr uint64_t kClosedBound = 1 * kMiB;

// Bytes of `path` in the page cache.
uint64_t CachedBytes(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  uint64_t cached = 0;
  void *map = size > 0 ? ::mmap(nullptr, static_cast<size_t>(size), PROT_READ,
                                MAP_SHARED, fd, 0)
                       : MAP_FAILED;
  if (map != MAP_FAILED) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((static_cast<size_t>(size) + page - 1) / page);
    if (::mincore(map, static_cast<size_t>(size), resident.data()) == 0) {
      for (unsigned char r : resident) cached += (r & 1) ? page : 0;
    }
    ::munmap(map, static_cast<size_t>(size));
  }
  ::close(fd);
  return cached;
}

// A memory file system's pages are its storage: they never leave.
bool OnMemoryFileSystem(const std::string &path) {
  struct statfs fs;
  constexpr long kTmpfsMagic = 0x01021994;
  constexpr long kRamfsMagic = 0x858458f6;
  return ::statfs(path.c_str(), &fs) == 0 &&
         (static_cast<long>(fs.f_type) == kTmpfsMagic ||
          static_cast<long>(fs.f_type) == kRamfsMagic);
}

struct CacheFigures {
  uint64_t backup_open = 0;  // after the last write, before the close
  uint64_t backup_closed = 0;
  uint64_t restore_open = 0;  // after the last read, before the close
  uint64_t restore_closed = 0;
};

// Backs kRequests requests up onto one stripe and restores them, with
// KOR_CACHE set to `cache` (nullptr: unset), measuring volume 1 on the way.
CacheFigures RoundTrip(const TempDir &dir, const char *cache) {
  CacheFigures figures;
  if (cache != nullptr) ::setenv("KOR_CACHE", cache, 1);
  else ::unsetenv("KOR_CACHE");
  const std::string prefix = dir.Sub("s0");
  const std::string volume = VolumeName(prefix, 1);
  HostParams params;
  params.SetDevice(0, DiskDevice(prefix));
  MessageBuffer msg;
  std::vector<uint8_t> data(kRequest), got(kRequest);

  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg);
  EXPECT_NE(h, nullptr) << BufferText(msg);
  if (h == nullptr) return figures;
  for (int k = 0; k < kRequests; ++k) {
    FillStream(1, static_cast<uint64_t>(k) * kRequest, data.data(), data.size());
    EXPECT_EQ(kor_write(h, data.data(), kRequest, &msg), 0) << BufferText(msg);
  }
  figures.backup_open = CachedBytes(volume);
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg), 0) << BufferText(msg);
  figures.backup_closed = CachedBytes(volume);

  h = kor_open(0, params.get(), KOR_MODE_READ, &msg);
  EXPECT_NE(h, nullptr) << BufferText(msg);
  if (h == nullptr) return figures;
  for (int k = 0; k < kRequests; ++k) {
    EXPECT_EQ(kor_read(h, got.data(), kRequest, &msg), 0) << BufferText(msg);
    FillStream(1, static_cast<uint64_t>(k) * kRequest, data.data(), data.size());
    EXPECT_TRUE(got == data) << "request " << k;
  }
  figures.restore_open = CachedBytes(volume);
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg), 0) << BufferText(msg);
  figures.restore_closed = CachedBytes(volume);
  ::unsetenv("KOR_CACHE");
  return figures;
}

TEST(VolumeCacheTest, VolumesLeaveTheCacheUnlessKorCacheIsKeep) {
  ResetHost();
  TempDir dir;
  if (OnMemoryFileSystem(dir.path()))
    GTEST_SKIP() << dir.path() << " is a memory file system";
  const uint64_t volume_bytes = static_cast<uint64_t>(kRequests) * kRequest;

  const CacheFigures dropped = RoundTrip(dir, nullptr);
  EXPECT_LE(dropped.backup_open, kOpenBound);
  EXPECT_LE(dropped.backup_closed, kClosedBound);
  EXPECT_LE(dropped.restore_open, kOpenBound);
  EXPECT_LE(dropped.restore_closed, kClosedBound);

  TempDir kept_dir;
  const CacheFigures kept = RoundTrip(kept_dir, "keep");
  EXPECT_GE(kept.backup_closed, volume_bytes * 9 / 10);
  EXPECT_GE(kept.restore_closed, volume_bytes * 9 / 10);
  EXPECT_TRUE(RecordedErrors().empty());
}

}  // namespace
}  // namespace korit
