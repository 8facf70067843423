// Failures of disk stripes as the host sees them through the exported
// functions: refused opens, damaged or missing volume files, misuse of the
// interface.
//
// Strategy: each test builds the situation on a real temporary directory
// (a directory where a prefix belongs, a removed, renamed or cut volume
// file, two stripes on one prefix), then checks the result of the call, the
// error number and its arguments as they reached the host's callbacks and
// the message buffer, and that no data is reported as restored that was
// not.  Where a failure must leave a backup usable, the backup is restored
// and compared.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host_harness.h"

namespace korit {
namespace {

class DiskFailuresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetHost();
    std::memset(&msg_, 0, sizeof msg_);
  }

  // The last error the host was asked to word.
  HostMessage LastError() const {
    std::vector<HostMessage> errors = RecordedErrors();
    return errors.empty() ? HostMessage{} : errors.back();
  }

  // Operator messages other than the small-capacity notice that every open
  // of a 256 KB stripe sends.
  static std::vector<HostMessage> OperatorRequests() {
    std::vector<HostMessage> requests;
    for (const HostMessage &m : RecordedInfos())
      if (m.number != 9237) requests.push_back(m);
    return requests;
  }

  // A single-stripe plan on stripe `stripe`.
  static StreamPlan Plan(int stripe, uint64_t total, int32_t request, uint32_t seed) {
    StreamPlan plan;
    plan.seed = seed;
    plan.total = total;
    plan.request = request;
    plan.stripes = 1;
    plan.first_stripe = stripe;
    return plan;
  }

  TempDir dir_;
  MessageBuffer msg_;
};

TEST_F(DiskFailuresTest, PrefixThatIsADirectoryIsRefusedForBackup) {
  const std::string prefix = dir_.Sub("adir");
  ASSERT_EQ(::mkdir(prefix.c_str(), 0700), 0);
  HostParams params;
  params.SetDevice(0, DiskDevice(prefix));

  EXPECT_EQ(kor_open(0, params.get(), KOR_MODE_WRITE, &msg_), nullptr);
  EXPECT_EQ(BufferText(msg_), MessageText(6944, {prefix}));
  EXPECT_EQ(LastError().number, 6944);
  EXPECT_FALSE(FileExists(VolumeName(prefix, 1)));
}

// A link planted at a volume's name points at somebody's file, which a
// backup must not overwrite; a FIFO there must not hang it.  Both are left
// as they are and the backup fails naming the file.
TEST_F(DiskFailuresTest, BackupRefusesALinkOrAFifoAtAVolumeName) {
  struct Case {
    int volume;
    bool fifo;
    const char *why;
  };
  const Case cases[] = {{1, false, "symbolic link"},
                        {3, false, "symbolic link"},
                        {1, true, "Not a regular file"},
                        {2, true, "Not a regular file"}};
  const std::vector<uint8_t> precious = {'r', 'o', 'w', 's'};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.fifo ? "FIFO" : "link") + " at volume " +
                 std::to_string(c.volume));
    ResetHost();
    TempDir dir;
    const std::string prefix = dir.Sub("s0");
    const std::string planted = VolumeName(prefix, c.volume);
    const std::string target = dir.Sub("precious");
    WriteWholeFile(target, precious);
    ASSERT_EQ(0, c.fifo ? mkfifo(planted.c_str(), 0600)
                        : symlink(target.c_str(), planted.c_str()));
    HostParams params;
    params.SetDevice(0, SmallDiskDevice(prefix));

    void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
    bool failed = h == nullptr;
    std::vector<uint8_t> buffer(4095);
    for (uint64_t pos = 0; !failed && pos < 1200000; pos += buffer.size()) {
      FillStream(40, pos, buffer.data(), buffer.size());
      failed = kor_write(h, buffer.data(), 4095, &msg_) != 0;
    }
    const HostMessage error = LastError();
    if (h != nullptr) {
      // The refused volume left nothing to take the closing labels: the
      // close fails, and says so rather than blame a bad handle.
      EXPECT_EQ(-1, kor_close(h, KOR_CLOSE_ABANDON, &msg_));
      EXPECT_EQ(LastError().args.back(),
                "no volume is open to take the closing labels");
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(error.number, 6920);
    ASSERT_EQ(error.args.size(), 2u);
    EXPECT_EQ(error.args[0], planted);
    EXPECT_NE(error.args[1].find(c.why), std::string::npos) << error.args[1];
    EXPECT_EQ(ReadWholeFile(target), precious);
    struct stat st;
    ASSERT_EQ(::lstat(planted.c_str(), &st), 0);
    EXPECT_TRUE(c.fifo ? S_ISFIFO(st.st_mode) : S_ISLNK(st.st_mode));
  }
}

TEST_F(DiskFailuresTest, RestoreFollowsALinkButReadsNoFifo) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 600000, 4095, 41);
  ASSERT_TRUE(BackupStream(params, plan));
  // Volume 2 moved elsewhere and linked back: read like any volume.
  const std::string moved = dir_.Sub("moved");
  ASSERT_EQ(std::rename(VolumeName(prefix, 2).c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(moved.c_str(), VolumeName(prefix, 2).c_str()), 0);
  EXPECT_TRUE(RestoreAndCompare(params, plan));

  // Volume 1 replaced by a FIFO that nobody writes: refused at once.
  ASSERT_EQ(::unlink(VolumeName(prefix, 1).c_str()), 0);
  ASSERT_EQ(::mkfifo(VolumeName(prefix, 1).c_str(), 0600), 0);
  ResetHost();
  EXPECT_EQ(kor_open(0, params.get(), KOR_MODE_READ, &msg_), nullptr);
  const HostMessage error = LastError();
  EXPECT_EQ(error.number, 6920);
  ASSERT_EQ(error.args.size(), 2u);
  EXPECT_EQ(error.args[0], VolumeName(prefix, 1));
  EXPECT_NE(error.args[1].find("Not a regular file"), std::string::npos);
}

TEST_F(DiskFailuresTest, MissingFirstVolumeFailsTheRestoreOpen) {
  const std::string prefix = dir_.Sub("nothing");
  HostParams params;
  params.SetDevice(0, DiskDevice(prefix));

  EXPECT_EQ(kor_open(0, params.get(), KOR_MODE_READ, &msg_), nullptr);
  HostMessage error = LastError();
  EXPECT_EQ(error.number, 6920);
  ASSERT_EQ(error.args.size(), 2u);
  EXPECT_EQ(error.args[0], VolumeName(prefix, 1));
  EXPECT_FALSE(error.args[1].empty()) << "the system's text is missing";
  EXPECT_EQ(BufferText(msg_), MessageText(6920, error.args));
  EXPECT_FALSE(FileExists(VolumeName(prefix, 1))) << "a restore must not create files";
}

TEST_F(DiskFailuresTest, RejectedDeviceStringsFailWithoutLeavingAHandle) {
  const std::string prefix = dir_.Sub("bad");
  HostParams params;
  params.SetDevice(0, DiskDevice(dir_.Sub("good")));
  void *good = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(good, nullptr) << msg_.text;

  const std::string rejected[] = {
      "devname=" + prefix,                                 // no dbtype
      "dbtype=ZDBn",                                       // no devname
      "devname=" + prefix + ";dbtype=ZDBn;colour=blue",    // unknown key
      "devname=" + prefix + ";dbtype=XYZ",                 // unknown code
      "devname=" + prefix + ";dbtype=ZDBn;method=Tape",    // unknown code
      "",
  };
  for (const std::string &devstring : rejected) {
    SCOPED_TRACE("device string \"" + devstring + "\"");
    std::memset(&msg_, 0, sizeof msg_);
    params.SetDevice(1, devstring);
    EXPECT_EQ(kor_open(1, params.get(), KOR_MODE_WRITE, &msg_), nullptr);
    EXPECT_EQ(BufferText(msg_), MessageText(6918, {}));
    EXPECT_FALSE(FileExists(VolumeName(prefix, 1)));
  }
  params.ClearDevice(1);
  std::memset(&msg_, 0, sizeof msg_);
  EXPECT_EQ(kor_open(1, params.get(), KOR_MODE_WRITE, &msg_), nullptr);
  EXPECT_EQ(BufferText(msg_), MessageText(6918, {}));

  // The stripe opened before is untouched by the failed opens.
  EXPECT_EQ(kor_get_last_error(good), 0);
  const char data[] = "still here";
  EXPECT_EQ(kor_write(good, data, sizeof data, &msg_), 0) << msg_.text;
  EXPECT_EQ(kor_close(good, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
  EXPECT_EQ(kor_get_last_error(good), -1) << "a closed handle must be unknown";
}

TEST_F(DiskFailuresTest, SecondStripeOnTheSamePrefixDoesNotSpoilTheFirst) {
  const std::string prefix = dir_.Sub("shared");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  params.SetDevice(1, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 600000, 4095, 21);

  void *first = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(first, nullptr) << msg_.text;
  EXPECT_EQ(kor_open(1, params.get(), KOR_MODE_WRITE, &msg_), nullptr);
  HostMessage error = LastError();
  EXPECT_EQ(error.number, 6920);
  ASSERT_FALSE(error.args.empty());
  EXPECT_EQ(error.args[0], VolumeName(prefix, 1));

  std::vector<uint8_t> buffer(static_cast<size_t>(plan.request));
  for (uint64_t pos = 0; pos < plan.total; pos += static_cast<uint64_t>(plan.request)) {
    int32_t length = static_cast<int32_t>(std::min<uint64_t>(plan.total - pos, 4095));
    FillStream(plan.seed, pos, buffer.data(), static_cast<size_t>(length));
    ASSERT_EQ(kor_write(first, buffer.data(), length, &msg_), 0) << msg_.text;
  }
  ASSERT_EQ(kor_close(first, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;

  EXPECT_TRUE(CheckVolumeFiles(prefix, plan, 0, kMinCapacityBytes));
  EXPECT_TRUE(RestoreAndCompare(params, plan));
}

TEST_F(DiskFailuresTest, StripeZeroRefusesAnotherStripesVolume) {
  // The operator put stripe 1's volume file where stripe 0's belongs.
  HostParams params;
  params.SetDevice(1, DiskDevice(dir_.Sub("s1")));
  ASSERT_TRUE(BackupStream(params, Plan(1, 10000, 4095, 22)));
  ASSERT_EQ(std::rename(VolumeName(dir_.Sub("s1"), 1).c_str(),
                        VolumeName(dir_.Sub("s0"), 1).c_str()), 0);

  const std::string prefix = dir_.Sub("s0");
  params.SetDevice(0, DiskDevice(prefix));  // attended by default
  ResetHost();
  EXPECT_EQ(kor_open(0, params.get(), KOR_MODE_READ, &msg_), nullptr);
  EXPECT_EQ(BufferText(msg_), MessageText(6920, {prefix, "bad label on first stripe"}));
  EXPECT_TRUE(OperatorRequests().empty()) << "no operator retry for a wrong first stripe";
}

TEST_F(DiskFailuresTest, MissingSecondVolumeFailsTheReadThatNeedsIt) {
  // On disk the next volume file is opened without asking anyone, so it
  // makes no difference whether the stripe is attended.
  for (const char *attended : {"attended=0", "attended=1"}) {
    SCOPED_TRACE(attended);
    ResetHost();
    TempDir dir;
    const std::string prefix = dir.Sub("s1");
    HostParams params;
    params.SetDevice(1, SmallDiskDevice(prefix, attended));
    StreamPlan plan = Plan(1, 400000, 4095, 23);
    ASSERT_TRUE(BackupStream(params, plan));
    ASSERT_TRUE(FileExists(VolumeName(prefix, 2)));
    ASSERT_EQ(std::remove(VolumeName(prefix, 2).c_str()), 0);
    ResetHost();

    void *h = kor_open(1, params.get(), KOR_MODE_READ, &msg_);
    ASSERT_NE(h, nullptr) << msg_.text;
    const int on_first_volume = static_cast<int>((262144 - 228) / 4095);  // 63
    std::vector<uint8_t> buffer(4095), expect(4095);
    for (int k = 0; k < on_first_volume; ++k) {
      ASSERT_EQ(kor_read(h, buffer.data(), 4095, &msg_), 0) << "request " << k << ": " << msg_.text;
      FillStream(plan.seed, static_cast<uint64_t>(k) * 4095, expect.data(), expect.size());
      ASSERT_EQ(buffer, expect) << "request " << k;
    }
    EXPECT_EQ(kor_read(h, buffer.data(), 4095, &msg_), -1);
    EXPECT_EQ(kor_get_last_error(h), 6920);
    HostMessage error = LastError();
    EXPECT_EQ(error.number, 6920);
    ASSERT_FALSE(error.args.empty());
    EXPECT_EQ(error.args[0], VolumeName(prefix, 2));
    EXPECT_EQ(BufferText(msg_), MessageText(6920, error.args));
    EXPECT_EQ(CountErrors(6936), 0);
    EXPECT_TRUE(OperatorRequests().empty());
    EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
  }
}

TEST_F(DiskFailuresTest, VolumesOutOfOrderAreRefused) {
  // Volume file 2 holds volume 3.  Unattended, the read fails with a
  // sequence error; attended, the operator is asked for volume 2 and the
  // host gives up by cancelling.
  for (bool attended : {false, true}) {
    SCOPED_TRACE(attended ? "attended" : "unattended");
    ResetHost();
    TempDir dir;
    const std::string prefix = dir.Sub("s0");
    HostParams params;
    params.SetDevice(0, SmallDiskDevice(prefix, attended ? "attended=1" : "attended=0"));
    StreamPlan plan = Plan(0, 700000, 65536, 24);
    ASSERT_TRUE(BackupStream(params, plan));
    ASSERT_TRUE(FileExists(VolumeName(prefix, 3)));
    ASSERT_EQ(std::rename(VolumeName(prefix, 3).c_str(), VolumeName(prefix, 2).c_str()), 0);
    ResetHost();
    if (attended) SetCancelOnInfo(9234);

    void *h = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
    ASSERT_NE(h, nullptr) << msg_.text;
    std::vector<uint8_t> buffer(65536);
    for (int k = 0; k < 3; ++k)
      ASSERT_EQ(kor_read(h, buffer.data(), 65536, &msg_), 0) << msg_.text;
    EXPECT_EQ(kor_read(h, buffer.data(), 65536, &msg_), -1);

    std::vector<HostMessage> errors = RecordedErrors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front().number, 6920);
    EXPECT_EQ(errors.front().args, (std::vector<std::string>{prefix, "bad restore sequence"}));
    std::vector<HostMessage> infos = OperatorRequests();
    if (!attended) {
      EXPECT_EQ(kor_get_last_error(h), 6920);
      EXPECT_EQ(BufferText(msg_), MessageText(6920, {prefix, "bad restore sequence"}));
      EXPECT_TRUE(infos.empty());
    } else {
      ASSERT_EQ(infos.size(), 2u);
      EXPECT_EQ(infos[0].number, 6920);
      EXPECT_EQ(infos[0].args, (std::vector<std::string>{prefix, "Tapes out of order"}));
      EXPECT_EQ(infos[1].number, 9234);
      EXPECT_EQ(infos[1].args, (std::vector<std::string>{"2", prefix}));
      EXPECT_TRUE(infos[0].well_formed && infos[1].well_formed);
      EXPECT_EQ(kor_get_last_error(h), 6932);
      EXPECT_EQ(BufferText(msg_), MessageText(6932, {prefix, "interrup received"}));
    }
    EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
  }
}

TEST_F(DiskFailuresTest, CutVolumeNeverRestoresAsAShorterStream) {
  // 25 requests (24 of 4095 bytes, one of 1720) on one volume.  Cutting the
  // trailer labels and 1000 data bytes leaves the last request incomplete.
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 100000, 4095, 25);
  ASSERT_TRUE(BackupStream(params, plan));
  const std::string volume = VolumeName(prefix, 1);
  ASSERT_EQ(FileSize(volume), 228 + 100000 + 160);
  TruncateFile(volume, 228 + 100000 - 1000);
  ResetHost();

  void *h = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  std::vector<uint8_t> buffer(4095), expect(4095);
  for (int k = 0; k < 24; ++k) {
    ASSERT_EQ(kor_read(h, buffer.data(), 4095, &msg_), 0) << "request " << k << ": " << msg_.text;
    FillStream(plan.seed, static_cast<uint64_t>(k) * 4095, expect.data(), expect.size());
    ASSERT_EQ(buffer, expect) << "request " << k;
  }
  EXPECT_EQ(kor_read(h, buffer.data(), 1720, &msg_), -1);
  EXPECT_EQ(kor_get_last_error(h), 6935);
  HostMessage error = LastError();
  EXPECT_EQ(error.number, 6935);
  ASSERT_EQ(error.args.size(), 2u) << "device name and reason";
  EXPECT_EQ(error.args[0], prefix);
  EXPECT_EQ(BufferText(msg_), MessageText(6935, error.args));
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
}

TEST_F(DiskFailuresTest, CutEndOfVolumeRecordIsAReadErrorNotAVolumeChange) {
  // Volume 1 loses 100 of its 160 end-of-volume bytes: the read at its end
  // finds neither a whole request nor the end-of-volume record.
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 400000, 4095, 26);
  ASSERT_TRUE(BackupStream(params, plan));
  const std::string volume = VolumeName(prefix, 1);
  TruncateFile(volume, FileSize(volume) - 100);
  ResetHost();

  void *h = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  std::vector<uint8_t> buffer(4095);
  for (int k = 0; k < 63; ++k)
    ASSERT_EQ(kor_read(h, buffer.data(), 4095, &msg_), 0) << "request " << k << ": " << msg_.text;
  EXPECT_EQ(kor_read(h, buffer.data(), 4095, &msg_), -1);
  EXPECT_EQ(kor_get_last_error(h), 6935);
  EXPECT_EQ(BufferText(msg_), MessageText(6935, LastError().args));
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
}

TEST_F(DiskFailuresTest, ReadingPastTheEndOfTheStreamFails) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 300000, 65536, 27);  // two volumes
  ASSERT_TRUE(BackupStream(params, plan));
  ResetHost();

  void *h = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  std::vector<uint8_t> buffer(65536);
  for (uint64_t pos = 0; pos < plan.total; pos += 65536) {
    int32_t length = static_cast<int32_t>(std::min<uint64_t>(plan.total - pos, 65536));
    ASSERT_EQ(kor_read(h, buffer.data(), length, &msg_), 0) << msg_.text;
  }
  EXPECT_EQ(kor_read(h, buffer.data(), 4096, &msg_), -1);
  EXPECT_EQ(kor_get_last_error(h), 6935);
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
}

// Requests no longer than the closing labels would otherwise be filled from
// them: the end of the backup must be an error at any request size.
TEST_F(DiskFailuresTest, SmallReadsPastTheEndNeverReturnTheClosingLabels) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 1000, 100, 31);
  ASSERT_TRUE(BackupStream(params, plan));
  for (int32_t size : {1, 4, 80, 84, 159, 160}) {
    SCOPED_TRACE("request of " + std::to_string(size) + " bytes");
    ResetHost();
    void *h = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
    ASSERT_NE(h, nullptr) << msg_.text;
    std::vector<uint8_t> buffer(160);
    for (int k = 0; k < 10; ++k)
      ASSERT_EQ(kor_read(h, buffer.data(), 100, &msg_), 0) << msg_.text;
    EXPECT_EQ(kor_read(h, buffer.data(), size, &msg_), -1);
    EXPECT_EQ(kor_get_last_error(h), 6935);
    EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
  }
}

// The volume files of `from` copied under `to`; the library may still hold
// the originals open after an abandoned close.
void CopyVolumes(const std::string &from, const std::string &to) {
  for (int v = 1; FileExists(VolumeName(from, v)); ++v)
    WriteWholeFile(VolumeName(to, v), ReadWholeFile(VolumeName(from, v)));
}

TEST_F(DiskFailuresTest, CloseWithAnUnknownModeFailsButReleasesTheHandle) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 50000, 4095, 28);

  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  std::vector<uint8_t> buffer(4095);
  for (uint64_t pos = 0; pos < plan.total; pos += 4095) {
    int32_t length = static_cast<int32_t>(std::min<uint64_t>(plan.total - pos, 4095));
    FillStream(plan.seed, pos, buffer.data(), static_cast<size_t>(length));
    ASSERT_EQ(kor_write(h, buffer.data(), length, &msg_), 0) << msg_.text;
  }
  EXPECT_EQ(kor_close(h, 2, &msg_), -1);
  EXPECT_EQ(BufferText(msg_), MessageText(6930, {}));
  EXPECT_EQ(kor_get_last_error(h), -1) << "the handle must be gone";
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), -1);

  // The trailer labels went out before the mode was looked at.
  CopyVolumes(prefix, dir_.Sub("copy"));
  EXPECT_TRUE(CheckVolumeFiles(dir_.Sub("copy"), plan, 0, kMinCapacityBytes));
  params.SetDevice(0, SmallDiskDevice(dir_.Sub("copy")));
  EXPECT_TRUE(RestoreAndCompare(params, plan));

  // A restore stripe too.
  void *r = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
  ASSERT_NE(r, nullptr) << msg_.text;
  EXPECT_EQ(kor_close(r, -2, &msg_), -1);
  EXPECT_EQ(BufferText(msg_), MessageText(6930, {}));
  EXPECT_EQ(kor_get_last_error(r), -1);
}

TEST_F(DiskFailuresTest, AbandonedBackupStillLeavesARestorableVolume) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 300000, 65536, 29);  // two volumes

  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  std::vector<uint8_t> buffer(65536);
  for (uint64_t pos = 0; pos < plan.total; pos += 65536) {
    int32_t length = static_cast<int32_t>(std::min<uint64_t>(plan.total - pos, 65536));
    FillStream(plan.seed, pos, buffer.data(), static_cast<size_t>(length));
    ASSERT_EQ(kor_write(h, buffer.data(), length, &msg_), 0) << msg_.text;
  }
  EXPECT_EQ(kor_close(h, KOR_CLOSE_ABANDON, &msg_), 0) << msg_.text;
  EXPECT_EQ(kor_get_last_error(h), -1) << "the handle must be gone";

  // The volume file was released with the handle: a restore can open it
  // (volume files are opened without sharing).
  EXPECT_TRUE(CheckVolumeFiles(prefix, plan, 0, kMinCapacityBytes));
  EXPECT_TRUE(RestoreAndCompare(params, plan));
}

TEST_F(DiskFailuresTest, UnknownCloseModeStillReleasesTheVolumeFile) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  StreamPlan plan = Plan(0, 70000, 7000, 30);
  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  std::vector<uint8_t> buffer(7000);
  for (uint64_t pos = 0; pos < plan.total; pos += 7000) {
    FillStream(plan.seed, pos, buffer.data(), buffer.size());
    ASSERT_EQ(kor_write(h, buffer.data(), 7000, &msg_), 0) << msg_.text;
  }
  EXPECT_EQ(kor_close(h, 7, &msg_), -1);
  EXPECT_EQ(BufferText(msg_), MessageText(6930, {}));
  EXPECT_TRUE(RestoreAndCompare(params, plan));
}

TEST_F(DiskFailuresTest, MisusedArgumentsAreRefusedWithoutACrash) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, DiskDevice(prefix));

  EXPECT_EQ(kor_open(0, nullptr, KOR_MODE_WRITE, &msg_), nullptr);
  EXPECT_EQ(kor_open(0, params.get(), KOR_MODE_WRITE, nullptr), nullptr);
  EXPECT_EQ(kor_open(32, params.get(), KOR_MODE_WRITE, &msg_), nullptr);
  EXPECT_EQ(kor_open(-1, params.get(), KOR_MODE_WRITE, &msg_), nullptr);
  EXPECT_FALSE(FileExists(VolumeName(prefix, 1)));
  EXPECT_EQ(kor_open(0, params.get(), 2, &msg_), nullptr);
  EXPECT_EQ(BufferText(msg_), MessageText(6923, {}));
  EXPECT_FALSE(FileExists(VolumeName(prefix, 1)));

  // Handles the library never gave out.
  std::vector<uint8_t> foreign(8192, 0);
  char data[64] = "payload";
  for (void *bogus : {static_cast<void *>(foreign.data()), static_cast<void *>(nullptr)}) {
    EXPECT_EQ(kor_write(bogus, data, sizeof data, &msg_), -1);
    EXPECT_EQ(kor_read(bogus, data, sizeof data, &msg_), -1);
    EXPECT_EQ(kor_get_last_error(bogus), -1);
    EXPECT_EQ(kor_close(bogus, KOR_CLOSE_NORMAL, &msg_), -1);
  }
  EXPECT_TRUE(std::all_of(foreign.begin(), foreign.end(), [](uint8_t b) { return b == 0; }));

  // A live handle with bad requests.
  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  EXPECT_EQ(kor_write(h, data, sizeof data, nullptr), -1);
  EXPECT_EQ(kor_write(h, nullptr, 10, &msg_), -1);
  EXPECT_EQ(kor_write(h, data, -5, &msg_), -1);
  EXPECT_EQ(kor_read(h, data, sizeof data, nullptr), -1);
  EXPECT_EQ(kor_write(h, data, sizeof data, &msg_), 0) << msg_.text;
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, nullptr), -1);
  kor_close(h, KOR_CLOSE_NORMAL, &msg_);  // whatever the refusal left open
  EXPECT_EQ(kor_get_last_error(h), -1);

  // And a handle that was closed is foreign again.
  EXPECT_EQ(kor_write(h, data, sizeof data, &msg_), -1);
  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), -1);
}

TEST_F(DiskFailuresTest, QueryApiFillsExactlyThirtyEightBytes) {
  uint8_t area[64];
  std::memset(area, 0xA5, sizeof area);
  kor_queryapi(reinterpret_cast<ApiInfo *>(area));
  const uint8_t expect[38] = {0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,
                              'K', 'O', 'R', 'V', 'E', 'L', ' ', 'B', 'A', 'C', 'K',
                              'U', 'P', '/', 'R', 'E', 'S', 'T', 'O', 'R', 'E', ' ',
                              'A', 'P', 'I', 0, 0, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(area, expect, sizeof expect));
  for (size_t i = sizeof expect; i < sizeof area; ++i)
    EXPECT_EQ(area[i], 0xA5) << "byte " << i << " was written";
}

TEST_F(DiskFailuresTest, SmallCapacityIsReportedToTheOperator) {
  struct Case {
    const char *capacity;
    bool reported;
  };
  const Case cases[] = {{"256", true}, {"1048575", true}, {"1048576", false}, {"-5", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("capacity=") + c.capacity);
    ResetHost();
    HostParams params;
    params.SetDevice(3, DiskDevice(dir_.Sub("s3"), std::string("capacity=") + c.capacity));
    void *h = kor_open(3, params.get(), KOR_MODE_WRITE, &msg_);
    ASSERT_NE(h, nullptr) << msg_.text;
    std::vector<HostMessage> infos = RecordedInfos();
    if (c.reported) {
      ASSERT_EQ(infos.size(), 1u);
      EXPECT_EQ(infos[0].number, 9237);
      EXPECT_EQ(infos[0].args, std::vector<std::string>{c.capacity});
      EXPECT_TRUE(infos[0].well_formed);
    } else {
      EXPECT_TRUE(infos.empty());
    }
    EXPECT_TRUE(RecordedErrors().empty());
    EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
  }
}

TEST_F(DiskFailuresTest, WritesOnARestoreAndReadsOnABackupAreRefused) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, DiskDevice(prefix));
  StreamPlan plan = Plan(0, 20000, 4095, 30);

  void *w = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(w, nullptr) << msg_.text;
  std::vector<uint8_t> buffer(4095);
  for (uint64_t pos = 0; pos < plan.total; pos += 4095) {
    int32_t length = static_cast<int32_t>(std::min<uint64_t>(plan.total - pos, 4095));
    FillStream(plan.seed, pos, buffer.data(), static_cast<size_t>(length));
    ASSERT_EQ(kor_write(w, buffer.data(), length, &msg_), 0) << msg_.text;
    if (pos == 0) {
      EXPECT_EQ(kor_read(w, buffer.data(), 100, &msg_), -1);
      EXPECT_NE(kor_get_last_error(w), 0);
    }
  }
  ASSERT_EQ(kor_close(w, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
  EXPECT_TRUE(CheckVolumeFiles(prefix, plan, 0, 1610612736));

  void *r = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
  ASSERT_NE(r, nullptr) << msg_.text;
  std::vector<uint8_t> junk(4095, 0x5A);
  EXPECT_EQ(kor_write(r, junk.data(), 4095, &msg_), -1);
  EXPECT_NE(kor_get_last_error(r), 0);
  EXPECT_EQ(kor_close(r, KOR_CLOSE_NORMAL, &msg_), 0) << msg_.text;
  EXPECT_TRUE(CheckVolumeFiles(prefix, plan, 0, 1610612736)) << "the refused write changed the volume";
  EXPECT_TRUE(RestoreAndCompare(params, plan));
}

TEST_F(DiskFailuresTest, RequestLargerThanAFreshVolumeFails) {
  // 262144 - 228 bytes is all a fresh 256 KB volume offers; one byte more
  // can never be placed.
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(dir_.Sub("s0")));
  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  std::vector<uint8_t> big(262144 - 228 + 1, 0x33);
  EXPECT_EQ(kor_write(h, big.data(), static_cast<int32_t>(big.size()), &msg_), -1);
  EXPECT_NE(kor_get_last_error(h), 0);
  EXPECT_EQ(BufferText(msg_), MessageText(LastError().number, LastError().args));
  kor_close(h, KOR_CLOSE_NORMAL, &msg_);
}

// Snapshots made with `cp -al` share the volumes' inodes with the prefix
// they copy.  The next backup to that prefix must give each volume a new
// file, or the snapshot silently becomes the new backup.
TEST_F(DiskFailuresTest, ABackupLeavesAHardLinkToAnOldVolumeAsItWas) {
  const std::string prefix = dir_.Sub("cur");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  ASSERT_TRUE(BackupStream(params, Plan(0, 300000, 65536, 41)));
  const std::string snapshot = dir_.Sub("snap.1");
  ASSERT_EQ(::link(VolumeName(prefix, 1).c_str(), snapshot.c_str()), 0);
  const std::vector<uint8_t> old_volume = ReadWholeFile(snapshot);

  const StreamPlan second = Plan(0, 300000, 65536, 42);
  ASSERT_TRUE(BackupStream(params, second));
  EXPECT_TRUE(ReadWholeFile(snapshot) == old_volume)
      << "the snapshot's link now holds the new backup";
  EXPECT_TRUE(CheckVolumeFiles(prefix, second, 0, kMinCapacityBytes));
}

// A volume whose file was removed while it was written can never be read
// back: its close must fail, not let the backup pass as complete.
TEST_F(DiskFailuresTest, AVolumeRemovedWhileWrittenFailsItsClose) {
  const std::string prefix = dir_.Sub("s0");
  HostParams params;
  params.SetDevice(0, SmallDiskDevice(prefix));
  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(h, nullptr) << msg_.text;
  std::vector<uint8_t> buffer(7000);
  FillStream(43, 0, buffer.data(), buffer.size());
  ASSERT_EQ(kor_write(h, buffer.data(), 7000, &msg_), 0) << msg_.text;
  ASSERT_EQ(::unlink(VolumeName(prefix, 1).c_str()), 0);

  EXPECT_EQ(kor_close(h, KOR_CLOSE_NORMAL, &msg_), -1);
  EXPECT_EQ(LastError().number, 6921);
  EXPECT_EQ(LastError().args,
            (std::vector<std::string>{
                prefix,
                "The file was removed while it was being written: it has no "
                "name left"}));
}

}  // namespace
}  // namespace korit
