// Tape stripes across cartridges, through the exported functions, on
// virtual tape drives in a real temporary directory.
//
// Strategy: KOR_DEVICE_DIR points at a fresh directory in which the test
// makes drives with the `korbr vtape` program, as an operator would, and
// the stripes name them "\\.\TAPE0".  The host's info callback plays the
// operator: when asked for a volume (9234) it loads a cartridge by running
// `korbr vtape load`, the cartridge chosen by the scenario (the right one,
// or first a wrong one).  Each test checks the operator messages in order
// with their arguments, the errors with theirs, the data restored byte for
// byte, the drive's state afterwards, and every cartridge image: decoded
// here record by record (the sizes a backup must leave), and listed by
// `mtdump` from Debian's simh package where it is installed.
//
// Volumes are kept small: capacity=256 (262144 bytes) and 4096-byte blocks
// give 64 blocks per volume, three for the labels and 61 for data.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host_harness.h"
#include "tape_image.h"

namespace korit {
namespace {

constexpr int32_t kBlock = 4096;
constexpr int kDataBlocksPerVolume = 61;  // (262144 - 3 * 4096) / 4096
constexpr char kDevName[] = "\\\\.\\TAPE0";
// The text the POSIX layer gives for the end of the media (1100).
constexpr char kEndOfMediaText[] = "End of the tape media reached";

// --- The operator at the host's info callback --------------------------------

std::mutex g_mutex;
std::vector<HostMessage> g_requests;  // operator messages but 9237
std::function<void(const HostMessage &)> g_operator;

void KOR_CALL OperatorInfo(int32_t number, KorMessageArg *args, int32_t,
                           void *) {
  HostMessage message;
  message.number = number;
  // 6920 and 9234..9236 carry two texts; 9237 one.
  const int count = number == 9237 ? 1 : 2;
  for (int i = 0; i < count && args != nullptr && args[i] != 0; ++i)
    message.args.emplace_back(reinterpret_cast<const char *>(args[i]));
  std::function<void(const HostMessage &)> act;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (number != 9237) g_requests.push_back(message);
    act = g_operator;
  }
  if (act) act(message);
}

std::vector<HostMessage> Requests() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_requests;
}

HostMessage Msg(int32_t number, std::vector<std::string> args) {
  HostMessage m;
  m.number = number;
  m.args = std::move(args);
  return m;
}

::testing::AssertionResult SameMessages(const std::vector<HostMessage> &expect,
                                        const std::vector<HostMessage> &got) {
  auto text = [](const std::vector<HostMessage> &messages) {
    std::string all;
    for (const HostMessage &m : messages)
      all += "[" + MessageText(m.number, m.args) + "] ";
    return all;
  };
  bool same = expect.size() == got.size();
  for (size_t i = 0; same && i < expect.size(); ++i)
    same = expect[i].number == got[i].number && expect[i].args == got[i].args;
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "expected " << text(expect) << "\n got " << text(got);
}

// --- The korbr program
// ---------------------------------------------------------

std::string Program() {
#ifdef KORBR_PROGRAM
  return KORBR_PROGRAM;
#else
  return "";
#endif
}

std::string Quote(const std::string &word) { return "'" + word + "'"; }

// Runs `korbr vtape ARGS`; its exit status, or -1.
int Vtape(const std::string &args) {
  const std::string command =
      Quote(Program()) + " vtape " + args + " >/dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a command and gives its standard output.
std::string Output(const std::string &command) {
  std::string text;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    text.append(buffer, n);
  pclose(pipe);
  return text;
}

bool HaveMtdump() {
  return std::system("command -v mtdump >/dev/null 2>&1") == 0;
}

// --- Cartridge images
// ----------------------------------------------------------

// What `mtdump` lists for an image: records as lengths, tape marks as 0.
// Its listing stops at two tape marks in a row (the logical end).  Also
// checks that every position mtdump gives is where the framing puts it and
// that the listing accounts for the whole file.
::testing::AssertionResult MtdumpObjects(const std::string &path,
                                         std::vector<uint32_t> *objects) {
  const std::string listing = Output("mtdump " + Quote(path) + " 2>&1");
  objects->clear();
  uint64_t expected_position = 0;
  bool ended = false;
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    const std::string line = listing.substr(start, end - start);
    start = end + 1;
    if (line.find("Invalid") != std::string::npos ||
        line.find("Error") != std::string::npos)
      return ::testing::AssertionFailure() << "mtdump: " << line;
    unsigned long long position = 0;
    unsigned object = 0, record = 0, length = 0;
    if (std::sscanf(line.c_str(),
                    "Obj %u, position %llu, record %u, length = %u", &object,
                    &position, &record, &length) == 4) {
      if (position != expected_position)
        return ::testing::AssertionFailure()
               << "mtdump: " << line << " (expected position "
               << expected_position << ")";
      objects->push_back(length);
      expected_position += 8 + length + (length & 1u);
    } else if (std::sscanf(line.c_str(), "Obj %u, position %llu", &object,
                           &position) == 2 &&
               (line.find("end of tape file") != std::string::npos ||
                line.find("end of logical tape") != std::string::npos)) {
      if (position != expected_position)
        return ::testing::AssertionFailure() << "mtdump: " << line;
      objects->push_back(0);
      expected_position += 4;
      if (line.find("end of logical tape") != std::string::npos) ended = true;
    } else if (line.find("End of physical tape") != std::string::npos) {
      ended = true;
    }
  }
  if (!ended)
    return ::testing::AssertionFailure() << "mtdump did not finish:\n"
                                         << listing;
  if (static_cast<int64_t>(expected_position) != FileSize(path))
    return ::testing::AssertionFailure()
           << "mtdump accounts for " << expected_position << " of "
           << FileSize(path) << " bytes of " << path;
  return ::testing::AssertionSuccess();
}

// The objects a backup volume leaves: `records` records of one block, then
// two tape marks when the backup went on to another cartridge.
std::vector<uint32_t> VolumeObjects(int records, bool continued) {
  std::vector<uint32_t> objects(static_cast<size_t>(records), kBlock);
  if (continued) objects.insert(objects.end(), 2, 0);
  return objects;
}

class TapeRoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Program().empty()) << "built without the korbr program's path";
    ResetHost();
    kor_register_info_callback(&OperatorInfo);
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_requests.clear();
      g_operator = nullptr;
    }
    setenv("KOR_DEVICE_DIR", dir_.path().c_str(), 1);
    unsetenv("KOR_DO_NOT_OFFL");
    drive_ = dir_.Sub("TAPE0");
    std::memset(&msg_, 0, sizeof msg_);
  }
  void TearDown() override {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_operator = nullptr;
    unsetenv("KOR_DEVICE_DIR");
    unsetenv("KOR_DO_NOT_OFFL");
  }

  void CreateDrive(int cartridges, const std::string &capacity, bool stacker) {
    ASSERT_EQ(0, Vtape("create " + Quote(drive_) + " --cartridges " +
                       std::to_string(cartridges) + " --capacity " + capacity +
                       (stacker ? " --stacker" : "")));
  }
  void Load(int cartridge) {
    ASSERT_EQ(0,
              Vtape("load " + Quote(drive_) + " " + std::to_string(cartridge)));
  }
  // The cartridge in the drive, from `korbr vtape status`; 0 when empty.
  int Loaded() {
    const std::string status =
        Output(Quote(Program()) + " vtape status " + Quote(drive_));
    const size_t at = status.find("\nloaded: ");
    if (at == std::string::npos) return -1;
    return std::atoi(status.c_str() + at + 9);
  }
  std::string Cartridge(int n) const {
    return drive_ + "/cartridge-" + std::to_string(n) + ".tap";
  }

  // The operator answers each request for a volume (9234) by loading the
  // next cartridge of `cartridges`.
  void OperatorLoads(std::vector<int> cartridges) {
    auto queue = std::make_shared<std::vector<int>>(std::move(cartridges));
    const std::string drive = drive_;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_operator = [queue, drive](const HostMessage &m) {
      if (m.number != 9234 || queue->empty()) return;
      const int cartridge = queue->front();
      queue->erase(queue->begin());
      EXPECT_EQ(
          0, Vtape("load " + Quote(drive) + " " + std::to_string(cartridge)));
    };
  }

  static std::string Device(const std::string &extra) {
    return std::string("devname=") + kDevName +
           ";dbtype=ZDBn;capacity=256;blocksize=4096" +
           (extra.empty() ? "" : ";" + extra);
  }
  static StreamPlan Plan(int blocks, uint32_t seed) {
    StreamPlan plan;
    plan.seed = seed;
    plan.total = static_cast<uint64_t>(blocks) * kBlock;
    plan.request = kBlock;
    return plan;
  }

  // Opens stripe 0 and writes the plan's requests until one fails; the
  // number of requests written.  The stripe is closed either way.
  // -1 when the open failed.
  int BackupUntilFailure(const std::string &device, const StreamPlan &plan) {
    HostParams params;
    params.SetDevice(0, device);
    void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
    if (h == nullptr) return -1;
    std::vector<uint8_t> buffer(static_cast<size_t>(plan.request));
    int written = 0;
    for (uint64_t pos = 0; pos < plan.total;
         pos += static_cast<uint64_t>(plan.request)) {
      FillStream(plan.seed, pos, buffer.data(), buffer.size());
      if (kor_write(h, buffer.data(), plan.request, &msg_) != 0) break;
      ++written;
    }
    kor_close(h, KOR_CLOSE_NORMAL, &msg_);
    return written;
  }

  // Checks a cartridge image against the objects a backup must leave,
  // with the decoder here and with mtdump where it is installed.
  void ExpectImage(int cartridge, const std::vector<uint32_t> &expect) {
    std::vector<uint32_t> objects;
    ASSERT_TRUE(DecodeImage(Cartridge(cartridge), &objects));
    EXPECT_EQ(expect, objects) << "cartridge " << cartridge;
    if (!HaveMtdump()) return;
    ASSERT_TRUE(MtdumpObjects(Cartridge(cartridge), &objects));
    EXPECT_EQ(expect, objects) << "mtdump of cartridge " << cartridge;
  }

  TempDir dir_;
  std::string drive_;
  MessageBuffer msg_;
};

TEST_F(TapeRoundTripTest, AttendedBackupAcrossThreeCartridgesAndItsRestore) {
  CreateDrive(3, "512K", false);
  Load(1);
  OperatorLoads({2, 3});
  HostParams params;
  params.SetDevice(0, Device(""));
  const StreamPlan plan = Plan(2 * kDataBlocksPerVolume + 28, 11);
  ASSERT_TRUE(BackupStream(params, plan));
  EXPECT_TRUE(
      SameMessages({Msg(9234, {"2", kDevName}), Msg(9235, {"2", kDevName}),
                    Msg(9234, {"3", kDevName}), Msg(9235, {"3", kDevName})},
                   Requests()));
  EXPECT_TRUE(RecordedErrors().empty())
      << MessageText(RecordedErrors()[0].number, RecordedErrors()[0].args);
  // The close unloaded the last cartridge.
  EXPECT_EQ(0, Loaded());
  // Labels, 61 data blocks and the end-of-volume block, then two marks;
  // the last one ends with the end-of-file block and no mark.
  ExpectImage(1, VolumeObjects(3 + kDataBlocksPerVolume + 1, true));
  ExpectImage(2, VolumeObjects(3 + kDataBlocksPerVolume + 1, true));
  ExpectImage(3, VolumeObjects(3 + 28 + 1, false));
  const std::string dump =
      Output(Quote(Program()) + " vtape dump " + Quote(drive_) + " 2");
  EXPECT_NE(std::string::npos,
            dump.find("record 1: 4096 bytes  VOL1 serial 000002: "
                      "stripe 0, volume 2\n"))
      << dump;
  EXPECT_NE(std::string::npos, dump.find("record 65: 4096 bytes  EOV1 EOV2\n"))
      << dump;

  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_requests.clear();
  }
  Load(1);
  OperatorLoads({2, 3});
  EXPECT_TRUE(RestoreAndCompare(params, plan));
  EXPECT_TRUE(
      SameMessages({Msg(9234, {"2", kDevName}), Msg(9236, {"2", kDevName}),
                    Msg(9234, {"3", kDevName}), Msg(9236, {"3", kDevName})},
                   Requests()));
  EXPECT_TRUE(RecordedErrors().empty());
  EXPECT_EQ(0, Loaded());
}

// Blocks that begin with the bytes of a trailer record are data unless a
// file mark or the end of the recording follows them: requests of one
// block and of sixteen, beginning so in the middle of a cartridge, last
// before a real switch, first after it and last of the backup.
TEST_F(TapeRoundTripTest, RequestsThatBeginLikeTrailersRestoreWhole) {
  int drive = 0;
  for (int32_t size : {160, 65536}) {
    for (Head head : {Head::kEov, Head::kEof}) {
      SCOPED_TRACE(std::to_string(size) + "-byte requests beginning with " +
                   (head == Head::kEov ? "EOV1+EOV2" : "EOF1+EOF2"));
      ResetHost();
      // A fresh stacker drive for each stream.
      drive_ = dir_.Sub("TAPE" + std::to_string(++drive));
      CreateDrive(4, "1M", true);
      Load(1);
      HostParams params;
      params.SetDevice(0, "devname=\\\\.\\TAPE" + std::to_string(drive) +
                              ";dbtype=ZDBn;capacity=256;blocksize=4096;"
                              "stacker=4");
      const int blocks = (size + kBlock - 1) / kBlock;
      const StreamPlan plan =
          TrailerHeadPlan(size, kDataBlocksPerVolume / blocks, head);
      ASSERT_TRUE(BackupStream(params, plan));
      // A restore asks for each further cartridge.
      Load(1);
      OperatorLoads({2, 3});
      EXPECT_TRUE(RestoreAndCompare(params, plan));
      EXPECT_TRUE(RecordedErrors().empty());
    }
  }
}

TEST_F(TapeRoundTripTest, AnUnattendedStackerOfThreeRunsOutAtTheThirdSwitch) {
  CreateDrive(4, "512K", true);
  Load(1);
  const int written = BackupUntilFailure(Device("attended=0;stacker=3"),
                                         Plan(4 * kDataBlocksPerVolume, 12));
  // Three volumes filled; the request that needed a fourth failed.
  EXPECT_EQ(3 * kDataBlocksPerVolume, written);
  EXPECT_TRUE(Requests().empty());
  ASSERT_FALSE(RecordedErrors().empty());
  EXPECT_TRUE(SameMessages({Msg(6936, {kDevName})}, {RecordedErrors()[0]}));
  for (int c = 1; c <= 3; ++c)
    ExpectImage(c, VolumeObjects(3 + kDataBlocksPerVolume + 1, true));
  // The stacker moved on to the fourth cartridge, which nobody wrote.
  EXPECT_EQ(4, Loaded());
  EXPECT_EQ(0, FileSize(Cartridge(4)));
}

TEST_F(TapeRoundTripTest,
       AnAttendedStackerOfTwoAsksAndIsRefusedAtTheSecondSwitch) {
  CreateDrive(3, "512K", true);
  Load(1);
  const int written = BackupUntilFailure(Device("attended=1;stacker=2"),
                                         Plan(3 * kDataBlocksPerVolume, 13));
  EXPECT_EQ(2 * kDataBlocksPerVolume, written);
  // The first switch is silent; the second asks for volume 3, and the
  // volume count then refuses the open.
  EXPECT_TRUE(SameMessages({Msg(9234, {"3", kDevName})}, Requests()));
  ASSERT_FALSE(RecordedErrors().empty());
  EXPECT_TRUE(SameMessages({Msg(6939, {kDevName})}, {RecordedErrors()[0]}));
  ExpectImage(1, VolumeObjects(3 + kDataBlocksPerVolume + 1, true));
  ExpectImage(2, VolumeObjects(3 + kDataBlocksPerVolume + 1, true));
  EXPECT_EQ(0, FileSize(Cartridge(3)));
}

TEST_F(TapeRoundTripTest, AnUnattendedRestoreStopsAtTheFirstEndOfVolume) {
  CreateDrive(2, "512K", true);
  Load(1);
  HostParams params;
  params.SetDevice(0, Device("attended=0;stacker=2"));
  const StreamPlan plan = Plan(kDataBlocksPerVolume + 10, 14);
  ASSERT_TRUE(BackupStream(params, plan));
  ASSERT_TRUE(RecordedErrors().empty());

  Load(1);
  params.SetDevice(0, Device("attended=0"));
  void *h = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
  ASSERT_NE(nullptr, h) << BufferText(msg_);
  std::vector<uint8_t> buffer(kBlock), expect(kBlock);
  int read = 0;
  for (; read < kDataBlocksPerVolume + 10; ++read) {
    if (kor_read(h, buffer.data(), kBlock, &msg_) != 0) break;
    FillStream(plan.seed, static_cast<uint64_t>(read) * kBlock, expect.data(),
               kBlock);
    ASSERT_EQ(expect, buffer) << "block " << read;
  }
  EXPECT_EQ(kDataBlocksPerVolume, read);
  EXPECT_EQ(6936, kor_get_last_error(h));
  EXPECT_EQ(MessageText(6936, {kDevName}), BufferText(msg_));
  EXPECT_TRUE(Requests().empty());
  kor_close(h, KOR_CLOSE_NORMAL, &msg_);
}

TEST_F(TapeRoundTripTest,
       CartridgesOutOfOrderAreRefusedAndAttendedAskedForAgain) {
  CreateDrive(3, "512K", false);
  Load(1);
  OperatorLoads({2, 3});
  HostParams params;
  params.SetDevice(0, Device(""));
  const StreamPlan plan = Plan(2 * kDataBlocksPerVolume + 5, 15);
  ASSERT_TRUE(BackupStream(params, plan));

  // Unattended, the second cartridge first: the open fails.
  ResetHost();
  kor_register_info_callback(&OperatorInfo);
  OperatorLoads({});
  Load(2);
  HostParams unattended;
  unattended.SetDevice(0, Device("attended=0"));
  EXPECT_EQ(nullptr, kor_open(0, unattended.get(), KOR_MODE_READ, &msg_));
  ASSERT_FALSE(RecordedErrors().empty());
  EXPECT_TRUE(SameMessages({Msg(6920, {kDevName, "bad restore sequence"})},
                           {RecordedErrors()[0]}));
  EXPECT_EQ(0, Loaded());  // handed back

  // Attended: asked for volume 2, the operator first puts in cartridge 3;
  // the library says so, asks again, and goes on with cartridge 2.
  ResetHost();
  kor_register_info_callback(&OperatorInfo);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_requests.clear();
  }
  Load(1);
  OperatorLoads({3, 2, 3});
  EXPECT_TRUE(RestoreAndCompare(params, plan));
  EXPECT_TRUE(SameMessages(
      {Msg(9234, {"2", kDevName}), Msg(6920, {kDevName, "Tapes out of order"}),
       Msg(9234, {"2", kDevName}), Msg(9236, {"2", kDevName}),
       Msg(9234, {"3", kDevName}), Msg(9236, {"3", kDevName})},
      Requests()));
  EXPECT_TRUE(SameMessages({Msg(6920, {kDevName, "bad restore sequence"})},
                           RecordedErrors()));
}

TEST_F(TapeRoundTripTest, ACartridgeThatEndsBeforeTheBudgetFailsTheWrite) {
  // 100 KB of tape under a 256 KB budget: 24 records of 4104 bytes fit.
  CreateDrive(1, "100K", false);
  Load(1);
  setenv("KOR_DO_NOT_OFFL", "", 1);
  const int written =
      BackupUntilFailure(Device(""), Plan(kDataBlocksPerVolume, 16));
  EXPECT_EQ(24 - 3, written);
  ASSERT_FALSE(RecordedErrors().empty());
  EXPECT_TRUE(SameMessages({Msg(6934, {kDevName, kEndOfMediaText})},
                           {RecordedErrors()[0]}));
  EXPECT_TRUE(Requests().empty());
  // Nothing was written past the end, the image is whole, and the
  // cartridge is still in the drive.
  ExpectImage(1, VolumeObjects(24, false));
  EXPECT_EQ(1, Loaded());
}

TEST_F(TapeRoundTripTest, AWriteProtectedCartridgeFailsAnUnattendedBackup) {
  CreateDrive(1, "512K", false);
  Load(1);
  ASSERT_EQ(0, Vtape("protect " + Quote(drive_) + " 1 on"));
  EXPECT_EQ(-1, BackupUntilFailure(Device("attended=0"), Plan(1, 17)));
  ASSERT_FALSE(RecordedErrors().empty());
  EXPECT_TRUE(
      SameMessages({Msg(6932, {kDevName, "write protected. Cannot continue"})},
                   {RecordedErrors()[0]}));
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(0, Loaded());  // ejected
  EXPECT_EQ(0, FileSize(Cartridge(1)));
}

// A tape name is one name in the device directory.  One that would lead
// out of it can never name a drive: the open fails at once, saying why,
// instead of waiting for the drive to become ready.  (The host gives up
// any wait once it has been told 6920, so a wait shows as a second error.)
TEST_F(TapeRoundTripTest, ATapeNameLeadingOutOfTheDeviceDirectoryFailsAtOnce) {
  CreateDrive(1, "512K", false);
  Load(1);
  SetCancelOnError(6920);
  const std::string leaf = dir_.path().substr(dir_.path().rfind('/') + 1);
  const std::string name = "\\\\.\\../" + leaf + "/TAPE0";
  HostParams params;
  params.SetDevice(0, "devname=" + name + ";dbtype=ZDBn;capacity=256");
  EXPECT_EQ(nullptr, kor_open(0, params.get(), KOR_MODE_WRITE, &msg_));
  EXPECT_TRUE(SameMessages(
      {Msg(6920, {name,
                  "Not a tape drive name: one name in the device directory, "
                  "without '/', '\\' or \"..\""})},
      RecordedErrors()));
  EXPECT_EQ(0, FileSize(Cartridge(1)));
}

TEST_F(TapeRoundTripTest, EveryCartridgeShapePassesMtdump) {
  if (!HaveMtdump())
    GTEST_SKIP() << "mtdump is not installed (Debian package simh): cartridge "
                    "images are checked by this file's own decoder only";
  // Volumes that go on, the last volume, and (on a second drive with short
  // cartridges) a volume cut by the end of the tape.
  CreateDrive(3, "512K", false);
  Load(1);
  OperatorLoads({2, 3});
  HostParams params;
  params.SetDevice(0, Device(""));
  ASSERT_TRUE(BackupStream(params, Plan(2 * kDataBlocksPerVolume + 5, 18)));
  const std::string short_drive = dir_.Sub("TAPE1");
  ASSERT_EQ(0, Vtape("create " + Quote(short_drive) +
                     " --cartridges 1 --capacity 50K"));
  ASSERT_EQ(0, Vtape("load " + Quote(short_drive) + " 1"));
  std::string device = Device("");
  device.replace(device.find("TAPE0"), 5, "TAPE1");
  EXPECT_EQ(50 * 1024 / 4104 - 3, BackupUntilFailure(device, Plan(20, 19)));

  std::vector<uint32_t> objects;
  for (int c = 1; c <= 2; ++c) {
    ASSERT_TRUE(MtdumpObjects(Cartridge(c), &objects));
    EXPECT_EQ(VolumeObjects(3 + kDataBlocksPerVolume + 1, true), objects);
  }
  ASSERT_TRUE(MtdumpObjects(Cartridge(3), &objects));
  EXPECT_EQ(VolumeObjects(3 + 5 + 1, false), objects);
  ASSERT_TRUE(MtdumpObjects(short_drive + "/cartridge-1.tap", &objects));
  EXPECT_EQ(VolumeObjects(50 * 1024 / 4104, false), objects);
}

}  // namespace
}  // namespace korit
