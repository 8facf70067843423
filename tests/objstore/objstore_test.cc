// Stripes on a real S3 store: OpenStack Swift with s3api on 127.0.0.1,
// started for these tests by tests/objstore/local_s3.py (CTest's fixture;
// KOR_TEST_S3_DIR names its directory, whose env file gives the endpoint,
// the key and a netrc file for curl).
//
// Everything goes through the nine exported functions of libkorbr.so.  What
// the store holds is looked at from outside with the curl command line:
// the volume objects are fetched into files and checked byte for byte as
// disk volume files are (labels, serials, requests, trailers).  The failure
// cases stop the store's S3 endpoint (the proxy server) under a running
// backup or restore and start it again afterwards.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "integration/host_harness.h"
#include "korbr/korbr.h"

namespace korit {
namespace {

constexpr char kBucket[] = "korbr-test";

std::string StoreDir() {
  const char *dir = getenv("KOR_TEST_S3_DIR");
  return dir != nullptr ? dir : "";
}

// Runs a shell command; its standard output, and whether it exited 0.
bool Run(const std::string &command, std::string *output = nullptr) {
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return status == 0;
}

std::string Quoted(const std::string &text) { return "'" + text + "'"; }

// curl signing with the store's key (from its netrc file).
std::string Curl() {
  return "curl -sS --fail --netrc-file " + Quoted(getenv("KOR_TEST_NETRC")) +
         " --aws-sigv4 aws:amz:us-east-1:s3 -H x-amz-content-sha256:"
         "UNSIGNED-PAYLOAD ";
}

std::string BucketUrl() {
  return std::string(getenv("AWS_ENDPOINT_URL")) + "/" + kBucket;
}

// The keys in the bucket that begin with `prefix`, in the store's order.
std::vector<std::string> ListKeys(const std::string &prefix) {
  std::string xml;
  std::string query;  // signed as given: '/' must be encoded
  for (char c : prefix) query += c == '/' ? std::string("%2F") : std::string(1, c);
  EXPECT_TRUE(Run(Curl() + Quoted(BucketUrl() + "?prefix=" + query), &xml))
      << xml;
  std::vector<std::string> keys;
  for (size_t at = xml.find("<Key>"); at != std::string::npos;
       at = xml.find("<Key>", at + 1)) {
    const size_t end = xml.find("</Key>", at);
    keys.push_back(xml.substr(at + 5, end - at - 5));
  }
  return keys;
}

// Fetches every object of `prefix` into files of the same names in `dir`.
void FetchObjects(const std::string &prefix, const std::string &dir) {
  for (const std::string &key : ListKeys(prefix)) {
    std::string out;
    ASSERT_TRUE(Run(Curl() + "--create-dirs -o " + Quoted(dir + "/" + key) + " " +
                        Quoted(BucketUrl() + "/" + key),
                    &out))
        << key << ": " << out;
  }
}

void StopEndpoint() {
  ASSERT_TRUE(Run("/usr/bin/python3 " KORBR_LOCAL_S3 " stop-proxy " +
                  Quoted(StoreDir())));
}
void StartEndpoint() {
  ASSERT_TRUE(Run("/usr/bin/python3 " KORBR_LOCAL_S3 " start-proxy " +
                  Quoted(StoreDir()) + " >/dev/null"));
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char *name_;
  bool had_;
  std::string old_;
};

class ObjectStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The variables a user exports, from the file the store wrote.
    std::ifstream env(StoreDir() + "/env");
    ASSERT_TRUE(env.good()) << "no object store: KOR_TEST_S3_DIR="
                            << StoreDir();
    std::string line;
    while (std::getline(env, line)) {
      const size_t eq = line.find('=');
      if (line.rfind("export ", 0) != 0 || eq == std::string::npos) continue;
      const std::string name = line.substr(7, eq - 7);
      std::string value = line.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '\'') value = value.substr(1, value.size() - 2);
      setenv(name.c_str(), value.c_str(), 1);
    }
  }

  void SetUp() override {
    ResetHost();
    std::memset(&msg_, 0, sizeof msg_);
    const ::testing::TestInfo *info =
        ::testing::UnitTest::GetInstance()->current_test_info();
    prefix_ = std::string(info->name()) + "-" + std::to_string(getpid());
  }

  // "s3://korbr-test/<test>-<pid>/<name>" with {stripe} for the stripe.
  std::string Url(const std::string &name) const {
    return "s3://" + std::string(kBucket) + "/" + prefix_ + "/" + name;
  }

  // The stripes' devices: "<url>.s<stripe>" with `extra`.
  void SetDevices(HostParams *params, const std::string &name, int stripes,
                  const std::string &extra = "") const {
    for (int s = 0; s < stripes; ++s)
      params->SetDevice(s, DiskDevice(Url(name) + ".s" + std::to_string(s), extra));
  }

  std::string prefix_;
  MessageBuffer msg_;
  TempDir dir_;
};

TEST_F(ObjectStoreTest, StripesRoundTripAcrossVolumeObjectsWithTheirLabels) {
  struct Case {
    int stripes;
    uint64_t total;
  } cases[] = {{1, 900000}, {4, 2000000}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.stripes) + " stripes");
    const std::string name = "rt" + std::to_string(c.stripes);
    HostParams params;
    SetDevices(&params, name, c.stripes, "capacity=256");
    StreamPlan plan;
    plan.seed = 7 + c.stripes;
    plan.total = c.total;
    plan.request = 65536 + 1000;  // requests that straddle parts and pages
    plan.stripes = c.stripes;
    ASSERT_TRUE(BackupStream(params, plan));
    ASSERT_TRUE(RestoreAndCompare(params, plan));
    // The objects are what disk volume files would be, byte for byte.
    FetchObjects(prefix_ + "/" + name, dir_.path());
    for (int s = 0; s < c.stripes; ++s) {
      int volumes = 0;
      EXPECT_TRUE(CheckVolumeFiles(
          dir_.Sub(prefix_ + "/" + name + ".s" + std::to_string(s)), plan, s,
          kMinCapacityBytes, &volumes));
      EXPECT_GE(volumes, 2);
    }
  }
}

TEST_F(ObjectStoreTest, VolumesOfManyPartsComeBackInOrderFromPartsFetchedAtOnce) {
  // 5 MiB parts, two fetched at once into three buffers: a 16 MiB volume
  // reuses its buffers, and its last part is short.
  ScopedEnv part("KOR_S3_PART_SIZE", "5");
  ScopedEnv concurrency("KOR_S3_CONCURRENCY", "2");
  HostParams params;
  SetDevices(&params, "parts", 1, "capacity=16384");
  StreamPlan plan;
  plan.seed = 17;
  plan.total = 24u << 20;
  plan.request = 65536 + 1000;
  ASSERT_TRUE(BackupStream(params, plan));
  ASSERT_TRUE(RestoreAndCompare(params, plan));
}

TEST_F(ObjectStoreTest, AnEmptyStreamAndOneByteRequestsRoundTrip) {
  StreamPlan empty;
  StreamPlan bytes;
  bytes.seed = 3;
  bytes.lengths.assign(3000, 1);
  for (StreamPlan *plan : {&empty, &bytes}) {
    const std::string name = plan == &empty ? "empty" : "bytes";
    SCOPED_TRACE(name);
    HostParams params;
    SetDevices(&params, name, 1);
    ASSERT_TRUE(BackupStream(params, *plan));
    ASSERT_TRUE(RestoreAndCompare(params, *plan));
    FetchObjects(prefix_ + "/" + name, dir_.path());
    EXPECT_TRUE(CheckVolumeFiles(dir_.Sub(prefix_ + "/" + name + ".s0"), *plan,
                                 0, 1572864ull * 1024));
  }
}

TEST_F(ObjectStoreTest, AMissingBucketOrObjectAndAWrongSecretAreRefusedAtOpen) {
  HostParams params;
  params.SetDevice(0, DiskDevice("s3://korbr-no-such-bucket/x"));
  EXPECT_EQ(nullptr, kor_open(0, params.get(), KOR_MODE_WRITE, &msg_));
  EXPECT_NE(std::string::npos, std::string(msg_.text).find("NoSuchBucket"))
      << msg_.text;
  EXPECT_EQ(nullptr, kor_open(0, params.get(), KOR_MODE_READ, &msg_));
  EXPECT_NE(std::string::npos, std::string(msg_.text).find("NoSuchBucket"))
      << msg_.text;

  params.SetDevice(0, DiskDevice(Url("never-written")));
  EXPECT_EQ(nullptr, kor_open(0, params.get(), KOR_MODE_READ, &msg_));
  EXPECT_NE(std::string::npos, std::string(msg_.text).find("NoSuchKey"))
      << msg_.text;

  const char kWrongSecret[] = "not-the-secret-4711";
  ScopedEnv secret("AWS_SECRET_ACCESS_KEY", kWrongSecret);
  for (int32_t mode : {KOR_MODE_WRITE, KOR_MODE_READ}) {
    EXPECT_EQ(nullptr, kor_open(0, params.get(), mode, &msg_));
    const std::string text = msg_.text;
    EXPECT_TRUE(text.find("SignatureDoesNotMatch") != std::string::npos ||
                text.find("AccessDenied") != std::string::npos ||
                text.find("HTTP 403") != std::string::npos)
        << text;
    EXPECT_EQ(std::string::npos, text.find(kWrongSecret)) << text;
  }
  EXPECT_TRUE(ListKeys(prefix_).empty());
}

TEST_F(ObjectStoreTest, AStoreThatStopsUnderABackupLeavesNoVolumeBehind) {
  ScopedEnv retries("KOR_S3_RETRIES", "0");  // fail at once, no waits
  HostParams params;
  SetDevices(&params, "stopped", 1);
  void *h = kor_open(0, params.get(), KOR_MODE_WRITE, &msg_);
  ASSERT_NE(nullptr, h) << msg_.text;
  std::vector<uint8_t> data(1 << 20);
  FillStream(5, 0, data.data(), data.size());
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(0, kor_write(h, data.data(), 1 << 20, &msg_)) << msg_.text;
  StopEndpoint();
  // The writes that only fill buffers still succeed; the failed upload of
  // a part fails a later one, or the close.
  int failed_at = -1;
  for (int i = 0; i < 40 && failed_at < 0; ++i) {
    if (kor_write(h, data.data(), 1 << 20, &msg_) != 0) failed_at = i;
  }
  const std::string write_text = msg_.text;
  EXPECT_EQ(-1, kor_close(h, KOR_CLOSE_NORMAL, &msg_));
  const std::string reason = failed_at >= 0 ? write_text : std::string(msg_.text);
  EXPECT_NE(std::string::npos, reason.find("object store not reached"))
      << reason;
  StartEndpoint();
  // Neither the volume nor anything that could pass for it.
  EXPECT_EQ(std::vector<std::string>{}, ListKeys(prefix_));
}

TEST_F(ObjectStoreTest, AStoreThatStopsUnderARestoreFailsTheReadNeverPasses) {
  ScopedEnv retries("KOR_S3_RETRIES", "0");
  HostParams params;
  SetDevices(&params, "restore", 1);
  StreamPlan plan;
  plan.seed = 11;
  // Well beyond what the read-ahead and the sockets' buffers hold when the
  // store stops.
  plan.total = 72u << 20;
  plan.request = 1 << 20;
  ASSERT_TRUE(BackupStream(params, plan));
  void *h = kor_open(0, params.get(), KOR_MODE_READ, &msg_);
  ASSERT_NE(nullptr, h) << msg_.text;
  std::vector<uint8_t> data(1 << 20), expected(1 << 20);
  ASSERT_EQ(0, kor_read(h, data.data(), 1 << 20, &msg_)) << msg_.text;
  StopEndpoint();
  // What was read ahead is served; the first byte beyond fails the read.
  int failed_at = -1;
  for (int i = 1; i < 72 && failed_at < 0; ++i) {
    if (kor_read(h, data.data(), 1 << 20, &msg_) != 0) {
      failed_at = i;
      break;
    }
    FillStream(plan.seed, static_cast<uint64_t>(i) << 20, expected.data(),
               expected.size());
    ASSERT_EQ(expected, data) << "request " << i;
  }
  EXPECT_GT(failed_at, 0);
  EXPECT_NE(std::string::npos,
            std::string(msg_.text).find("object store not reached"))
      << msg_.text;
  kor_close(h, KOR_CLOSE_NORMAL, &msg_);
  StartEndpoint();
}

}  // namespace
}  // namespace korit
