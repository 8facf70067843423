// The integration tests' host: callbacks, records, stream and files.
#include "host_harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "support/message_catalog.h"

namespace korit {
namespace {

std::mutex g_mutex;
std::vector<HostMessage> g_errors;
std::vector<HostMessage> g_infos;
bool g_cancelled = false;
int32_t g_cancel_on_info = 0;
int32_t g_cancel_on_error = 0;
int g_volume_requests = 0;

// An attended disk restore that finds a volume out of order asks for the
// right one again and again; like an operator who gives up, the host
// cancels after this many requests so that a fault ends in a failure, not
// in a test that never returns.
constexpr int kPatience = 20;

// A message's text arguments, as many as it carries (it may come with
// fewer: the first null slot ends them).
std::vector<std::string> ArgumentTexts(int32_t number, const KorMessageArg *args) {
  std::vector<std::string> texts;
  if (args == nullptr) return texts;
  for (int i = 0; i < kor::testkit::MessageArgumentCount(number); ++i) {
    const char *text = reinterpret_cast<const char *>(args[i]);
    if (text == nullptr) break;
    texts.emplace_back(text);
  }
  return texts;
}

std::string Join(const std::vector<std::string> &parts) {
  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i != 0) joined += ", ";
    joined += parts[i];
  }
  return joined;
}

void KOR_CALL FormatCallback(int32_t number, char *text, int32_t size,
                             KorMessageArg *args) {
  HostMessage message;
  message.number = number;
  message.args = ArgumentTexts(number, args);
  std::string joined = Join(message.args);
  if (text != nullptr && size > 0)
    std::snprintf(text, static_cast<size_t>(size), "%d: %s",
                  static_cast<int>(number), joined.c_str());
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_cancel_on_error != 0 && number == g_cancel_on_error) g_cancelled = true;
  g_errors.push_back(std::move(message));
}

void KOR_CALL InfoCallback(int32_t number, KorMessageArg *args, int32_t two,
                           void *info_record) {
  HostMessage message;
  message.number = number;
  message.args = ArgumentTexts(number, args);
  message.well_formed = two == 2 && info_record != nullptr;
  if (info_record != nullptr) {
    InfoRecord record;
    std::memcpy(&record, info_record, sizeof record);
    static const uint8_t zeros[sizeof record.reserved1] = {};
    message.well_formed = message.well_formed && record.reserved0 == 0 &&
                          record.number == static_cast<uint32_t>(number) &&
                          std::memcmp(record.reserved1, zeros, sizeof zeros) == 0;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_cancel_on_info != 0 && number == g_cancel_on_info) g_cancelled = true;
  if (number == 9234 && ++g_volume_requests >= kPatience) g_cancelled = true;
  g_infos.push_back(std::move(message));
}

int32_t KOR_CALL CancelledCallback(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_cancelled ? 1 : 0;
}

std::string FirstLabel(const char *id, size_t length) {
  std::string label(id);
  label += std::string(17, ' ');     // file identifier
  label += std::string(6, ' ');      // file-set identifier
  label += "0000" "0000" "0000";     // section, sequence, generation
  label += "00";                     // generation version
  label += "000000" "000000";        // creation, expiration date
  label += "0";                      // accessibility
  label += "000000";                 // block count
  label += std::string(length - label.size(), ' ');
  return label;
}

std::string SecondLabel(const char *id) {
  std::string label(id);
  label += "F" "00000" "00000";
  label += std::string(35, ' ');
  label += "00";
  label += std::string(28, ' ');
  return label;
}

}  // namespace

void ResetHost() {
  kor_register_format_string(FormatCallback);
  kor_register_info_callback(InfoCallback);
  kor_register_cancelled(CancelledCallback);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_errors.clear();
  g_infos.clear();
  g_cancelled = false;
  g_cancel_on_info = 0;
  g_cancel_on_error = 0;
  g_volume_requests = 0;
}

std::vector<HostMessage> RecordedErrors() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_errors;
}

std::vector<HostMessage> RecordedInfos() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_infos;
}

int CountErrors(int32_t number) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int n = 0;
  for (const HostMessage &m : g_errors) n += m.number == number;
  return n;
}

int CountInfos(int32_t number) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int n = 0;
  for (const HostMessage &m : g_infos) n += m.number == number;
  return n;
}

void SetCancelled(bool on) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_cancelled = on;
}

void SetCancelOnInfo(int32_t number) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_cancel_on_info = number;
}

void SetCancelOnError(int32_t number) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_cancel_on_error = number;
}

std::string MessageText(int32_t number, const std::vector<std::string> &args) {
  return std::to_string(number) + ": " + Join(args);
}

TempDir::TempDir() {
  char templ[] = "/tmp/korbr-integ-XXXXXX";
  const char *made = mkdtemp(templ);
  if (made == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

HostParams::HostParams() {
  std::memset(&params_, 0, sizeof params_);
  std::strncpy(params_.dbname, "integdb", sizeof params_.dbname);
}

void HostParams::SetDevice(int stripe, const std::string &devstring) {
  devstrings_[stripe] = devstring;
  params_.archdev[stripe] = devstrings_[stripe].c_str();
}

void HostParams::ClearDevice(int stripe) {
  devstrings_[stripe].clear();
  params_.archdev[stripe] = nullptr;
}

std::string DiskDevice(const std::string &prefix, const std::string &extra) {
  std::string s = "devname=" + prefix + ";dbtype=ZDBn";
  if (!extra.empty()) s += ";" + extra;
  return s;
}

std::string SmallDiskDevice(const std::string &prefix, const std::string &extra) {
  return DiskDevice(prefix, extra.empty() ? "capacity=256" : "capacity=256;" + extra);
}

uint8_t StreamByte(uint32_t seed, uint64_t offset) {
  // A mix that neither repeats with any request size nor is the same for
  // two seeds: a shifted or misplaced block never compares equal.
  uint64_t x = (offset + 1) * 0x9E3779B97F4A7C15ull ^
               (static_cast<uint64_t>(seed) * 0xC2B2AE3D27D4EB4Full);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<uint8_t>(x);
}

void FillStream(uint32_t seed, uint64_t offset, uint8_t *out, size_t length) {
  for (size_t i = 0; i < length; ++i) out[i] = StreamByte(seed, offset + i);
}

void FillRequest(const StreamPlan &plan, size_t index, uint64_t offset,
                 uint8_t *out, size_t length) {
  FillStream(plan.seed, offset, out, length);
  const Head head = index < plan.heads.size() ? plan.heads[index] : Head::kPlain;
  if (head == Head::kPlain) return;
  const std::string trailer = TrailerLabels(head == Head::kEov);
  std::memcpy(out, trailer.data(), std::min(length, trailer.size()));
}

StreamPlan TrailerHeadPlan(int32_t size, int per_volume, Head head) {
  StreamPlan plan;
  plan.seed = static_cast<uint32_t>(size) ^ static_cast<uint32_t>(head);
  const size_t count = static_cast<size_t>(2 * per_volume + 2);
  plan.lengths.assign(count, size);
  plan.heads.assign(count, Head::kPlain);
  for (size_t k : {static_cast<size_t>(per_volume / 2),
                   static_cast<size_t>(per_volume - 1),
                   static_cast<size_t>(per_volume), count - 1})
    plan.heads[k] = head;
  return plan;
}

namespace {

// Calls fn(stripe, stream offset, length, request index) for each request
// of the plan.
template <typename Fn>
bool ForEachRequest(const StreamPlan &plan, Fn fn) {
  if (!plan.lengths.empty()) {
    uint64_t pos = 0;
    for (size_t k = 0; k < plan.lengths.size(); ++k) {
      int stripe = plan.first_stripe + static_cast<int>(k % static_cast<size_t>(plan.stripes));
      if (!fn(stripe, pos, plan.lengths[k], k)) return false;
      pos += static_cast<uint64_t>(plan.lengths[k]);
    }
    return true;
  }
  size_t k = 0;
  for (uint64_t pos = 0; pos < plan.total; pos += static_cast<uint64_t>(plan.request), ++k) {
    uint64_t left = plan.total - pos;
    int32_t length = static_cast<int32_t>(
        left < static_cast<uint64_t>(plan.request) ? left : static_cast<uint64_t>(plan.request));
    int stripe = plan.first_stripe + static_cast<int>(k % static_cast<uint64_t>(plan.stripes));
    if (!fn(stripe, pos, length, k)) return false;
  }
  return true;
}

// Room for the largest request of the plan.
size_t LargestRequest(const StreamPlan &plan) {
  if (plan.lengths.empty()) return static_cast<size_t>(plan.request);
  int32_t largest = 1;
  for (int32_t length : plan.lengths) largest = length > largest ? length : largest;
  return static_cast<size_t>(largest);
}

}  // namespace

std::vector<int32_t> StripeRequests(const StreamPlan &plan, int stripe) {
  std::vector<int32_t> lengths;
  ForEachRequest(plan, [&](int s, uint64_t, int32_t length, size_t) {
    if (s == stripe) lengths.push_back(length);
    return true;
  });
  return lengths;
}

std::vector<uint8_t> StripeBytes(const StreamPlan &plan, int stripe) {
  std::vector<uint8_t> bytes;
  ForEachRequest(plan, [&](int s, uint64_t pos, int32_t length, size_t k) {
    if (s == stripe) {
      size_t at = bytes.size();
      bytes.resize(at + static_cast<size_t>(length));
      FillRequest(plan, k, pos, bytes.data() + at, static_cast<size_t>(length));
    }
    return true;
  });
  return bytes;
}

::testing::AssertionResult BackupStream(const HostParams &params,
                                        const StreamPlan &plan) {
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *handles[KOR_MAX_STRIPES] = {};
  for (int i = 0; i < plan.stripes; ++i) {
    int s = plan.first_stripe + i;
    handles[s] = kor_open(s, params.get(), KOR_MODE_WRITE, &msg);
    if (handles[s] == nullptr) {
      for (int j = 0; j < i; ++j)
        kor_close(handles[plan.first_stripe + j], KOR_CLOSE_NORMAL, &msg);
      return ::testing::AssertionFailure()
             << "backup open of stripe " << s << " failed: " << msg.text;
    }
  }
  std::vector<uint8_t> buffer(LargestRequest(plan));
  std::string failure;
  ForEachRequest(plan, [&](int s, uint64_t pos, int32_t length, size_t k) {
    FillRequest(plan, k, pos, buffer.data(), static_cast<size_t>(length));
    if (kor_write(handles[s], buffer.data(), length, &msg) != 0) {
      failure = "write of " + std::to_string(length) + " bytes at stream offset " +
                std::to_string(pos) + " on stripe " + std::to_string(s) +
                " failed: " + msg.text;
      return false;
    }
    return true;
  });
  for (int i = 0; i < plan.stripes; ++i) {
    int s = plan.first_stripe + i;
    if (kor_close(handles[s], KOR_CLOSE_NORMAL, &msg) != 0 && failure.empty())
      failure = "backup close of stripe " + std::to_string(s) + " failed: " + msg.text;
  }
  if (!failure.empty()) return ::testing::AssertionFailure() << failure;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult RestoreAndCompare(const HostParams &params,
                                             const StreamPlan &plan) {
  MessageBuffer msg;
  std::memset(&msg, 0, sizeof msg);
  void *handles[KOR_MAX_STRIPES] = {};
  for (int i = 0; i < plan.stripes; ++i) {
    int s = plan.first_stripe + i;
    handles[s] = kor_open(s, params.get(), KOR_MODE_READ, &msg);
    if (handles[s] == nullptr) {
      for (int j = 0; j < i; ++j)
        kor_close(handles[plan.first_stripe + j], KOR_CLOSE_NORMAL, &msg);
      return ::testing::AssertionFailure()
             << "restore open of stripe " << s << " failed: " << msg.text;
    }
  }
  std::vector<uint8_t> buffer(LargestRequest(plan));
  std::vector<uint8_t> expect(LargestRequest(plan));
  std::string failure;
  ForEachRequest(plan, [&](int s, uint64_t pos, int32_t length, size_t k) {
    if (kor_read(handles[s], buffer.data(), length, &msg) != 0) {
      failure = "read of " + std::to_string(length) + " bytes at stream offset " +
                std::to_string(pos) + " on stripe " + std::to_string(s) +
                " failed: " + msg.text;
      return false;
    }
    FillRequest(plan, k, pos, expect.data(), static_cast<size_t>(length));
    if (std::memcmp(buffer.data(), expect.data(), static_cast<size_t>(length)) != 0) {
      size_t at = 0;
      while (buffer[at] == expect[at]) ++at;
      failure = "restored bytes differ at stream offset " + std::to_string(pos + at) +
                " (request of " + std::to_string(length) + " bytes on stripe " +
                std::to_string(s) + ")";
      return false;
    }
    return true;
  });
  for (int i = 0; i < plan.stripes; ++i) {
    int s = plan.first_stripe + i;
    if (kor_close(handles[s], KOR_CLOSE_NORMAL, &msg) != 0 && failure.empty())
      failure = "restore close of stripe " + std::to_string(s) + " failed: " + msg.text;
  }
  if (!failure.empty()) return ::testing::AssertionFailure() << failure;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult CheckVolumeFiles(const std::string &prefix,
                                            const StreamPlan &plan, int stripe,
                                            uint64_t capacity_bytes, int *volumes) {
  // Bytes of the stripe's stream that each volume holds.
  std::vector<uint64_t> per_volume(1, 0);
  const uint64_t room = capacity_bytes - kHeaderBytes;
  uint64_t left = room;
  for (int32_t length : StripeRequests(plan, stripe)) {
    uint64_t n = static_cast<uint64_t>(length);
    if (n > left) {
      per_volume.push_back(0);
      left = room;
    }
    per_volume.back() += n;
    left -= n;
  }
  if (volumes != nullptr) *volumes = static_cast<int>(per_volume.size());

  const std::vector<uint8_t> stream = StripeBytes(plan, stripe);
  uint64_t consumed = 0;
  for (size_t v = 0; v < per_volume.size(); ++v) {
    const int volume = static_cast<int>(v) + 1;
    const bool last = v + 1 == per_volume.size();
    std::string head = Vol1Label(stripe, volume) + Hdr1Label() + Hdr2Label();
    std::vector<uint8_t> expect(head.begin(), head.end());
    expect.insert(expect.end(), stream.begin() + static_cast<ptrdiff_t>(consumed),
                  stream.begin() + static_cast<ptrdiff_t>(consumed + per_volume[v]));
    consumed += per_volume[v];
    std::string tail = TrailerLabels(!last);
    expect.insert(expect.end(), tail.begin(), tail.end());

    const std::string name = VolumeName(prefix, volume);
    const std::vector<uint8_t> found = ReadWholeFile(name);
    if (found != expect) {
      size_t at = 0;
      while (at < found.size() && at < expect.size() && found[at] == expect[at]) ++at;
      return ::testing::AssertionFailure()
             << name << ": " << found.size() << " bytes, expected " << expect.size()
             << "; first difference at offset " << at;
    }
    if (!last && found.size() > capacity_bytes + kTrailerBytes)
      return ::testing::AssertionFailure() << name << " exceeds the capacity";
  }
  const std::string after = VolumeName(prefix, static_cast<int>(per_volume.size()) + 1);
  if (FileExists(after))
    return ::testing::AssertionFailure() << after << " should not exist";
  return ::testing::AssertionSuccess();
}

std::string VolumeName(const std::string &prefix, int volume) {
  return prefix + "." + std::to_string(volume);
}

bool FileExists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int64_t FileSize(const std::string &path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

std::vector<uint8_t> ReadWholeFile(const std::string &path) {
  std::vector<uint8_t> data;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return data;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
  std::fclose(f);
  return data;
}

void WriteWholeFile(const std::string &path, const std::vector<uint8_t> &data) {
  FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  size_t written = data.empty() ? 0 : std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  ASSERT_EQ(written, data.size()) << path;
}

void TruncateFile(const std::string &path, int64_t size) {
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
}

std::string Vol1Label(int stripe, int volume) {
  char serial[32];
  std::snprintf(serial, sizeof serial, "%.2d%.4d", stripe, volume);
  std::string label = "VOL1" + std::string(serial, 6);
  label += std::string(79 - label.size(), ' ');
  label += "4";
  return label;
}

std::string Hdr1Label() { return FirstLabel("HDR1", 68); }
std::string Hdr2Label() { return SecondLabel("HDR2"); }

std::string TrailerLabels(bool end_of_volume) {
  return end_of_volume ? FirstLabel("EOV1", 80) + SecondLabel("EOV2")
                       : FirstLabel("EOF1", 80) + SecondLabel("EOF2");
}

std::string BufferText(const MessageBuffer &msg) {
  size_t n = strnlen(msg.text, sizeof msg.text);
  std::string text(msg.text, n);
  if (msg.length != static_cast<int32_t>(n))
    return "<length word " + std::to_string(msg.length) + " does not match text \"" +
           text + "\">";
  return text;
}

}  // namespace korit
