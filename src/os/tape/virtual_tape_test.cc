// Tests of the virtual tape drive on real temporary directories.
//
// Strategy: a drive is made in a fresh directory that KOR_DEVICE_DIR
// points at, and driven the way the library drives a tape: through the
// POSIX OS layer by the name "\\.\TAPE0", with ReadFile, WriteFile and the
// tape calls, while cartridges are loaded and protected with the same
// functions `korbr vtape` uses.  What is checked is what a Windows tape
// driver would answer (the Win32 codes), and the cartridge image left on
// disk, decoded independently with the SIMH decoder.
#include "os/tape/virtual_tape.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "os/os_layer.h"
#include "os/tape/simh_image.h"
#include "os/tape/tape_resolver.h"
#include "os/win32_codes.h"

namespace kor {
namespace {

constexpr char kTape0[] = "\\\\.\\TAPE0";

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

std::vector<uint8_t> FileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

class VirtualTapeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korbr_vtape_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    drive_ = dir_ + "/TAPE0";
    setenv("KOR_DEVICE_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    Close();
    unsetenv("KOR_DEVICE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void MakeDrive(uint32_t cartridges, uint64_t capacity, bool stacker = false,
                 uint32_t min_block = 1, uint32_t max_block = 0x00FFFFFF) {
    VirtualDriveState state;
    state.cartridges = cartridges;
    state.capacity = capacity;
    state.stacker = stacker;
    state.min_block = min_block;
    state.max_block = max_block;
    std::string why;
    ASSERT_TRUE(CreateVirtualDrive(drive_, state, &why)) << why;
  }
  void Load(uint32_t cartridge) {
    std::string why;
    ASSERT_TRUE(LoadCartridge(drive_, cartridge, &why)) << why;
  }
  VirtualDriveState State() {
    VirtualDriveState state;
    std::string why;
    EXPECT_TRUE(ReadVirtualDrive(drive_, &state, &why)) << why;
    return state;
  }

  // Opens "\\.\TAPE0" as the library opens a tape.
  OsHandle Open(uint32_t share = kShareReadWrite) {
    uint32_t error = 0;
    const OsHandle h = os_.OpenFile(kTape0, kGenericRead | kGenericWrite, share,
                                    kOpenExisting, &error);
    EXPECT_EQ(0u, error);
    return h;
  }
  void Close() {
    if (h_ == kInvalidOsHandle) return;
    uint32_t error = 0;
    EXPECT_TRUE(os_.CloseHandle(h_, &error)) << error;
    h_ = kInvalidOsHandle;
  }

  // 0 when the write went through whole, else the failure's code.
  uint32_t Write(const std::vector<uint8_t> &data) {
    uint32_t done = 0, error = 0;
    if (!os_.WriteFile(h_, data.data(), static_cast<uint32_t>(data.size()),
                       &done, &error))
      return error == 0 ? 0xFFFFFFFFu : error;
    EXPECT_EQ(data.size(), done);
    return 0;
  }
  // The record read, or the failure's code in *error.
  std::vector<uint8_t> Read(uint32_t length, uint32_t *error) {
    std::vector<uint8_t> buffer(length);
    uint32_t done = 0;
    if (!os_.ReadFile(h_, buffer.data(), length, &done, error)) return {};
    buffer.resize(done);
    return buffer;
  }

  // The decoded objects of a cartridge image: records as their lengths,
  // tape marks as 0.
  std::vector<uint32_t> Objects(uint32_t cartridge) {
    const std::vector<uint8_t> image =
        FileBytes(CartridgePath(drive_, cartridge));
    std::vector<simh::Object> objects;
    EXPECT_EQ(simh::DecodeStatus::kOk,
              simh::DecodeImage(image.data(), image.size(), &objects));
    std::vector<uint32_t> lengths;
    for (const simh::Object &o : objects) lengths.push_back(o.length);
    return lengths;
  }

  OsLayer &os_ = PlatformOs();
  std::string dir_, drive_;
  OsHandle h_ = kInvalidOsHandle;
};

TEST_F(VirtualTapeTest, StateTextRoundTripsAndBadStatesAreRefused) {
  VirtualDriveState state;
  state.cartridges = 4;
  state.capacity = 123456789012ull;
  state.min_block = 512;
  state.max_block = 65536;
  state.stacker = true;
  state.loaded = 3;
  state.generation = 9;
  state.protected_list = {2, 4};
  VirtualDriveState back;
  std::string why;
  ASSERT_TRUE(ParseVtapeState(FormatVtapeState(state), &back, &why)) << why;
  EXPECT_EQ(FormatVtapeState(state), FormatVtapeState(back));
  EXPECT_TRUE(back.IsProtected(4));
  EXPECT_FALSE(back.IsProtected(3));

  const char *const bad[] = {
      "cartridges=2\n",                               // no capacity
      "capacity=100\n",                               // no cartridges
      "cartridges=2\ncapacity=100\nloaded=3\n",       // no cartridge 3
      "cartridges=2\ncapacity=100\nprotected=1,5\n",  // no cartridge 5
      "cartridges=2\ncapacity=100\nmin_block=9\nmax_block=8\n",
      "cartridges=2\ncapacity=100\nmax_block=16777216\n",  // above 24 bits
      "cartridges=2\ncapacity=1x0\n",
      "cartridges=2\ncapacity=100\nmode=robot\n",
      "cartridges=2\ncapacity=100\nnonsense\n",
  };
  for (const char *text : bad) {
    EXPECT_FALSE(ParseVtapeState(text, &back, &why)) << text;
    EXPECT_FALSE(why.empty());
  }
}

TEST_F(VirtualTapeTest, CreateMakesBlankCartridgesAndRefusesToOverwrite) {
  MakeDrive(3, 4096);
  EXPECT_TRUE(IsVirtualDrive(drive_));
  for (uint32_t c = 1; c <= 3; ++c) {
    struct stat st;
    ASSERT_EQ(0, stat(CartridgePath(drive_, c).c_str(), &st));
    EXPECT_EQ(0, st.st_size);
  }
  EXPECT_EQ(0u, State().loaded);
  std::string why;
  VirtualDriveState again;
  again.cartridges = 1;
  again.capacity = 10;
  EXPECT_FALSE(CreateVirtualDrive(drive_, again, &why));
  EXPECT_NE(std::string::npos, why.find("already")) << why;
  // A leftover cartridge image in a directory is nobody's to overwrite.
  const std::string other = dir_ + "/other";
  ASSERT_EQ(0, mkdir(other.c_str(), 0777));
  std::ofstream(CartridgePath(other, 2)) << "data";
  again.cartridges = 2;
  EXPECT_FALSE(CreateVirtualDrive(other, again, &why));
  EXPECT_FALSE(IsVirtualDrive(other));
  // Nothing of the failed attempt is left behind, the leftover untouched.
  std::error_code ignored;
  EXPECT_FALSE(std::filesystem::exists(CartridgePath(other, 1), ignored));
  EXPECT_EQ(4u, FileBytes(CartridgePath(other, 2)).size());
}

TEST_F(VirtualTapeTest, AnEmptyDriveOpensAndSeesALoadAtTheNextPoll) {
  MakeDrive(2, 1 << 20);
  h_ = Open();
  ASSERT_NE(kInvalidOsHandle, h_);
  EXPECT_EQ(kErrorNoMediaInDrive, os_.GetTapeStatus(h_));
  uint32_t error = 0;
  TapeMediaParams media;
  EXPECT_FALSE(os_.GetTapeMediaParams(h_, &media, &error));
  EXPECT_EQ(kErrorNoMediaInDrive, error);
  EXPECT_FALSE(os_.SetTapeBlockSize(h_, 4096, &error));
  EXPECT_EQ(kErrorNoMediaInDrive, error);
  Read(100, &error);
  EXPECT_EQ(kErrorNoMediaInDrive, error);
  EXPECT_EQ(kErrorNoMediaInDrive, os_.UnloadTape(h_));
  // The drive answers for itself without a cartridge.
  TapeDriveParams drive;
  ASSERT_TRUE(os_.GetTapeDriveParams(h_, &drive, &error));
  EXPECT_EQ(1u, drive.minimum_block_size);
  EXPECT_EQ(0x00FFFFFFu, drive.maximum_block_size);

  Load(2);  // as `korbr vtape load` from a shell
  EXPECT_EQ(0u, os_.GetTapeStatus(h_));
  ASSERT_TRUE(os_.GetTapeMediaParams(h_, &media, &error));
  EXPECT_EQ(1 << 20, media.capacity);
  EXPECT_EQ(1 << 20, media.remaining);
  EXPECT_FALSE(media.write_protected);
}

TEST_F(VirtualTapeTest, RecordsMarksAndTheEndOfDataReadBackAsOnTape) {
  MakeDrive(1, 1 << 20);
  Load(1);
  h_ = Open();
  const std::vector<uint8_t> a = Pattern(4096, 1), b = Pattern(81, 2),
                             c = Pattern(4096, 3);
  ASSERT_EQ(0u, Write(a));
  ASSERT_EQ(0u, Write(b));
  ASSERT_EQ(0u, os_.WriteTapemarks(h_, 2));
  ASSERT_EQ(0u, Write(c));
  EXPECT_EQ(std::vector<uint32_t>({4096, 81, 0, 0, 4096}), Objects(1));

  // Unloading a manual drive empties it; loaded again it is at the start.
  ASSERT_EQ(0u, os_.UnloadTape(h_));
  EXPECT_EQ(kErrorNoMediaInDrive, os_.GetTapeStatus(h_));
  EXPECT_EQ(0u, State().loaded);
  Load(1);
  ASSERT_EQ(0u, os_.GetTapeStatus(h_));
  uint32_t error = 0;
  EXPECT_EQ(a, Read(65536, &error));
  EXPECT_EQ(b, Read(65536, &error));
  Read(65536, &error);
  EXPECT_EQ(kErrorFilemarkDetected, error);
  Read(65536, &error);  // each mark is read once, then passed
  EXPECT_EQ(kErrorFilemarkDetected, error);
  EXPECT_EQ(c, Read(65536, &error));
  Read(65536, &error);
  EXPECT_EQ(kErrorNoDataDetected, error);
  Read(65536, &error);  // and the end of the data stays there
  EXPECT_EQ(kErrorNoDataDetected, error);
}

TEST_F(VirtualTapeTest, WritingInTheMiddleDiscardsTheRest) {
  MakeDrive(1, 1 << 20);
  Load(1);
  h_ = Open();
  for (uint8_t i = 0; i < 3; ++i) ASSERT_EQ(0u, Write(Pattern(1000, i)));
  ASSERT_EQ(0u, os_.WriteTapemarks(h_, 1));
  Load(1);  // rewound by a reload
  uint32_t error = 0;
  EXPECT_EQ(Pattern(1000, 0), Read(1000, &error));
  ASSERT_EQ(0u, Write(Pattern(77, 9)));
  EXPECT_EQ(std::vector<uint32_t>({1000, 77}), Objects(1));
  // Marks written after a read cut the tape there too.
  Load(1);
  Read(1000, &error);
  ASSERT_EQ(0u, os_.WriteTapemarks(h_, 1));
  EXPECT_EQ(std::vector<uint32_t>({1000, 0}), Objects(1));
}

// A drive directory copied with `cp -al` (a snapshot) shares its images'
// inodes.  Writing on the cartridge, after its first record as from its
// beginning, leaves the snapshot's image as it was.
TEST_F(VirtualTapeTest, WritingLeavesAHardLinkToTheImageAsItWas) {
  MakeDrive(1, 1 << 20);
  Load(1);
  h_ = Open();
  ASSERT_EQ(0u, Write(Pattern(1000, 1)));
  ASSERT_EQ(0u, Write(Pattern(1000, 2)));
  const std::string snapshot = dir_ + "/snap.tap";
  ASSERT_EQ(0, link(CartridgePath(drive_, 1).c_str(), snapshot.c_str()));
  const std::vector<uint8_t> kept = FileBytes(snapshot);
  Load(1);
  uint32_t error = 0;
  EXPECT_EQ(Pattern(1000, 1), Read(1000, &error));
  ASSERT_EQ(0u, Write(Pattern(300, 3)));
  EXPECT_EQ(std::vector<uint32_t>({1000, 300}), Objects(1));
  EXPECT_TRUE(FileBytes(snapshot) == kept);

  ASSERT_EQ(0, unlink(snapshot.c_str()));
  ASSERT_EQ(0, link(CartridgePath(drive_, 1).c_str(), snapshot.c_str()));
  const std::vector<uint8_t> second = FileBytes(snapshot);
  Load(1);
  ASSERT_EQ(0u, os_.WriteTapemarks(h_, 1));
  EXPECT_EQ(std::vector<uint32_t>({0}), Objects(1));
  EXPECT_TRUE(FileBytes(snapshot) == second);
}

TEST_F(VirtualTapeTest, TheCapacityEndsTheTapeWithoutAHalfRecord) {
  // Room for exactly two 1000-byte records (1008 bytes each).
  MakeDrive(1, 2016 + 4);
  Load(1);
  h_ = Open();
  ASSERT_EQ(0u, Write(Pattern(1000, 1)));
  ASSERT_EQ(0u, Write(Pattern(1000, 2)));
  const std::string image = CartridgePath(drive_, 1);
  EXPECT_EQ(kErrorEndOfMedia, Write(Pattern(1000, 3)));
  EXPECT_EQ(kErrorEndOfMedia, Write(Pattern(1, 4)));  // 1 byte takes 10
  EXPECT_EQ(2016u, FileBytes(image).size());
  TapeMediaParams media;
  uint32_t error = 0;
  ASSERT_TRUE(os_.GetTapeMediaParams(h_, &media, &error));
  EXPECT_EQ(4, media.remaining);
  // File marks still go on, past the capacity if need be.
  ASSERT_EQ(0u, os_.WriteTapemarks(h_, 2));
  EXPECT_EQ(std::vector<uint32_t>({1000, 1000, 0, 0}), Objects(1));
}

TEST_F(VirtualTapeTest, AProtectedCartridgeIsReadButNeverWritten) {
  MakeDrive(2, 1 << 20);
  Load(1);
  h_ = Open();
  ASSERT_EQ(0u, Write(Pattern(512, 1)));
  std::string why;
  ASSERT_TRUE(SetWriteProtect(drive_, 1, true, &why)) << why;
  Load(1);
  TapeMediaParams media;
  uint32_t error = 0;
  ASSERT_TRUE(os_.GetTapeMediaParams(h_, &media, &error));
  EXPECT_TRUE(media.write_protected);
  EXPECT_EQ(kErrorWriteProtect, Write(Pattern(512, 2)));
  EXPECT_EQ(kErrorWriteProtect, os_.WriteTapemarks(h_, 1));
  EXPECT_EQ(Pattern(512, 1), Read(512, &error));
  EXPECT_EQ(std::vector<uint32_t>({512}), Objects(1));
  EXPECT_EQ(std::vector<uint32_t>({1}), State().protected_list);
  ASSERT_TRUE(SetWriteProtect(drive_, 1, false, &why)) << why;
  EXPECT_TRUE(State().protected_list.empty());
  EXPECT_FALSE(SetWriteProtect(drive_, 3, true, &why));
}

TEST_F(VirtualTapeTest, AStackerLoadsTheNextCartridgeOnUnload) {
  MakeDrive(3, 1 << 20, /*stacker=*/true);
  Load(2);
  h_ = Open();
  ASSERT_EQ(0u, Write(Pattern(100, 2)));
  ASSERT_EQ(0u, os_.UnloadTape(h_));
  EXPECT_EQ(3u, State().loaded);
  ASSERT_EQ(0u, os_.GetTapeStatus(h_));
  ASSERT_EQ(0u, Write(Pattern(100, 3)));  // onto cartridge 3, at its start
  EXPECT_EQ(std::vector<uint32_t>({100}), Objects(3));
  ASSERT_EQ(0u, os_.UnloadTape(h_));  // the last one: the stacker is empty
  EXPECT_EQ(0u, State().loaded);
  EXPECT_EQ(kErrorNoMediaInDrive, os_.GetTapeStatus(h_));
}

TEST_F(VirtualTapeTest, BlockLimitsAndOversizedRecords) {
  MakeDrive(1, 1 << 20, false, 512, 8192);
  Load(1);
  h_ = Open();
  TapeDriveParams drive;
  uint32_t error = 0;
  ASSERT_TRUE(os_.GetTapeDriveParams(h_, &drive, &error));
  EXPECT_EQ(512u, drive.minimum_block_size);
  EXPECT_EQ(8192u, drive.maximum_block_size);
  EXPECT_EQ(8192u, drive.default_block_size);
  EXPECT_FALSE(os_.SetTapeBlockSize(h_, 511, &error));
  EXPECT_EQ(kErrorInvalidParameter, error);
  EXPECT_FALSE(os_.SetTapeBlockSize(h_, 8193, &error));
  ASSERT_TRUE(os_.SetTapeBlockSize(h_, 8192, &error));
  TapeMediaParams media;
  ASSERT_TRUE(os_.GetTapeMediaParams(h_, &media, &error));
  EXPECT_EQ(8192u, media.block_size);
  EXPECT_EQ(kErrorInvalidParameter, Write(Pattern(8193, 1)));
  ASSERT_EQ(0u, Write(Pattern(8192, 1)));
  ASSERT_EQ(0u, Write(Pattern(600, 2)));
  Load(1);
  // A buffer smaller than the record: refused, and the record passed.
  Read(4096, &error);
  EXPECT_EQ(234u, error);
  EXPECT_EQ(Pattern(600, 2), Read(4096, &error));
}

TEST_F(VirtualTapeTest, ACartridgeTakenOutBehindTheHandleIsNoLongerWritten) {
  MakeDrive(2, 1 << 20);
  Load(1);
  h_ = Open();
  ASSERT_EQ(0u, Write(Pattern(100, 1)));
  std::string why;
  ASSERT_TRUE(UnloadCartridge(drive_, &why)) << why;
  EXPECT_EQ(kErrorNoMediaInDrive, Write(Pattern(100, 2)));
  EXPECT_FALSE(UnloadCartridge(drive_, &why));  // already empty
  Load(2);
  ASSERT_EQ(0u, Write(Pattern(100, 3)));
  EXPECT_EQ(std::vector<uint32_t>({100}), Objects(1));
  EXPECT_EQ(std::vector<uint32_t>({100}), Objects(2));
}

TEST_F(VirtualTapeTest, ADamagedImageReadsAsADeviceError) {
  MakeDrive(1, 1 << 20);
  Load(1);
  h_ = Open();
  ASSERT_EQ(0u, Write(Pattern(100, 1)));
  ASSERT_EQ(0u, Write(Pattern(100, 2)));
  // The second record's trailing length is spoiled.
  const std::string image = CartridgePath(drive_, 1);
  std::vector<uint8_t> bytes = FileBytes(image);
  bytes[bytes.size() - 1] = 0x40;
  std::ofstream(image, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  Load(1);
  uint32_t error = 0;
  EXPECT_EQ(Pattern(100, 1), Read(100, &error));
  Read(100, &error);
  EXPECT_EQ(kErrorIoDevice, error);

  std::string why;
  int visited = 0;
  EXPECT_FALSE(ScanCartridgeImage(
      image, 16,
      [&](const simh::Object &, const uint8_t *, size_t) { ++visited; }, &why));
  EXPECT_EQ(1, visited);
  EXPECT_NE(std::string::npos, why.find("damaged")) << why;
}

TEST_F(VirtualTapeTest, ShareNoneKeepsASecondOpenerOut) {
  MakeDrive(1, 1 << 20);
  h_ = Open(kShareNone);
  ASSERT_NE(kInvalidOsHandle, h_);
  uint32_t error = 0;
  EXPECT_EQ(kInvalidOsHandle, os_.OpenFile(kTape0, kGenericRead | kGenericWrite,
                                           kShareNone, kOpenExisting, &error));
  EXPECT_EQ(kErrorSharingViolation, error);
  Close();
  h_ = Open(kShareNone);
  EXPECT_NE(kInvalidOsHandle, h_);
}

TEST_F(VirtualTapeTest, StateChangesFromManyWritersAreNeverLost) {
  MakeDrive(2, 1 << 20);
  auto loader = [this](uint32_t cartridge) {
    for (int i = 0; i < 40; ++i) {
      std::string why;
      EXPECT_TRUE(LoadCartridge(drive_, cartridge, &why)) << why;
    }
  };
  std::thread one(loader, 1), two(loader, 2);
  one.join();
  two.join();
  EXPECT_EQ(80u, State().generation);
}

TEST_F(VirtualTapeTest, TapeNamesResolveInTheDeviceDirectory) {
  MakeDrive(1, 100);
  TapeTarget target;
  ASSERT_EQ(0u, ResolveTapeName(kTape0, dir_, &target));
  EXPECT_EQ(TapeKind::kVirtualDrive, target.kind);
  EXPECT_EQ(drive_, target.path);

  // TAPE<n> in any case falls back to the Linux name nst<n>.
  VirtualDriveState state;
  state.cartridges = 1;
  state.capacity = 100;
  std::string why;
  ASSERT_TRUE(CreateVirtualDrive(dir_ + "/nst3", state, &why)) << why;
  ASSERT_EQ(0u, ResolveTapeName("\\\\.\\tape3", dir_, &target));
  EXPECT_EQ(dir_ + "/nst3", target.path);
  EXPECT_EQ(kErrorFileNotFound, ResolveTapeName("\\\\.\\TAPE4", dir_, &target));
  EXPECT_EQ(kErrorFileNotFound, ResolveTapeName("\\\\.\\TAPEX", dir_, &target));

  // A plain file or a directory that is no drive is no tape.
  std::ofstream(dir_ + "/plain") << "x";
  EXPECT_EQ(kErrorFileNotFound, ResolveTapeName("\\\\.\\plain", dir_, &target));
  ASSERT_EQ(0, mkdir((dir_ + "/bare").c_str(), 0777));
  EXPECT_EQ(kErrorFileNotFound, ResolveTapeName("\\\\.\\bare", dir_, &target));
  // Names never leave the device directory.
  for (const char *name :
       {"\\\\.\\", "\\\\.\\..", "\\\\.\\TAPE0/x", "\\\\.\\..\\TAPE0"})
    EXPECT_EQ(kErrorInvalidName, ResolveTapeName(name, dir_, &target)) << name;
  EXPECT_EQ(kErrorFileNotFound, ResolveTapeName("TAPE0", dir_, &target));
  // A character device is driven by the st backend.
  ASSERT_EQ(0u, ResolveTapeName("\\\\.\\null", "/dev", &target));
  EXPECT_EQ(TapeKind::kStDevice, target.kind);

  EXPECT_EQ(dir_, TapeDeviceDirectory());
  unsetenv("KOR_DEVICE_DIR");
  EXPECT_EQ("/dev", TapeDeviceDirectory());
}

TEST_F(VirtualTapeTest, TapeCallsOnAFileAreRefused) {
  const std::string file = dir_ + "/file.1";
  uint32_t error = 0;
  const OsHandle f =
      os_.OpenFile(file, kGenericWrite, kShareNone, kCreateAlways, &error);
  ASSERT_NE(kInvalidOsHandle, f);
  EXPECT_EQ(1u, os_.GetTapeStatus(f));
  EXPECT_EQ(1u, os_.WriteTapemarks(f, 1));
  ASSERT_TRUE(os_.CloseHandle(f, &error));
  EXPECT_EQ(kErrorInvalidHandle, os_.UnloadTape(f));
}

}  // namespace
}  // namespace kor
