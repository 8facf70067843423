// Progress text, closing line and JSON report of a run.
#include "cli/session/run_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/format/json_writer.h"

namespace kor {
namespace cli {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

double Rate(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
}

std::string Duration(double seconds) {
  const uint64_t s = static_cast<uint64_t>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(s / 3600),
                  static_cast<unsigned long long>(s / 60 % 60),
                  static_cast<unsigned long long>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu",
                  static_cast<unsigned long long>(s / 60),
                  static_cast<unsigned long long>(s % 60));
  }
  return text;
}

}  // namespace

std::string ProgressText(uint64_t done, double seconds, uint64_t total,
                         bool estimated,
                         const std::vector<std::string> &volumes) {
  char text[160];
  const double rate = Rate(done, seconds);
  std::snprintf(text, sizeof text, "%.1f MiB  %.1f MiB/s",
                static_cast<double>(done) / kMiB, rate / kMiB);
  std::string line = text;
  if (total > 0) {
    // An estimate can be passed; it never shows as done before the end.
    const double share =
        std::min(static_cast<double>(done) / static_cast<double>(total),
                 estimated ? 0.99 : 1.0);
    std::snprintf(text, sizeof text, "  %s%.0f%%", estimated ? "~" : "",
                  share * 100.0);
    line += text;
    if (rate > 0 && done < total) {
      line += "  " + Duration(static_cast<double>(total - done) / rate) +
              " left";
    }
  }
  line += "  volume";
  for (const std::string &v : volumes) line += " " + v;
  return line;
}

std::string ClosingLine(const RunTotals &t) {
  char text[256];
  const double ratio =
      t.stored_bytes > 0 ? static_cast<double>(t.data_bytes) /
                               static_cast<double>(t.stored_bytes)
                         : 0.0;
  std::snprintf(text, sizeof text,
                "%llu bytes of data, %llu stored (%.2f:1), ",
                static_cast<unsigned long long>(t.data_bytes),
                static_cast<unsigned long long>(t.stored_bytes), ratio);
  std::string line = text;
  line += t.volumes > 0 ? std::to_string(t.volumes) + " volume" +
                              (t.volumes == 1 ? "" : "s")
                        : "volumes unknown";
  std::snprintf(text, sizeof text, ", %.1f s, %.1f MiB/s", t.seconds,
                Rate(t.data_bytes, t.seconds) / kMiB);
  return line + text;
}

std::string RunReportJson(const RunTotals &t) {
  JsonWriter w;
  w.BeginObject();
  w.Key("command");
  w.String(t.command);
  w.Key("ok");
  w.Bool(t.ok);
  w.Key("error");
  t.ok ? w.Null() : w.String(t.error);
  w.Key("data_bytes");
  w.Number(t.data_bytes);
  w.Key("stored_bytes");
  w.Number(t.stored_bytes);
  w.Key("ratio");
  t.stored_bytes > 0 ? w.Decimal(static_cast<double>(t.data_bytes) /
                                 static_cast<double>(t.stored_bytes))
                     : w.Null();
  w.Key("stripes");
  w.Number(uint64_t{t.stripes});
  w.Key("volumes");
  t.volumes > 0 ? w.Number(t.volumes) : w.Null();
  w.Key("seconds");
  w.Decimal(t.seconds);
  w.Key("bytes_per_second");
  w.Decimal(Rate(t.data_bytes, t.seconds));
  w.EndObject();
  return w.text() + "\n";
}

bool WriteRunReport(const std::string &path, const std::string &text,
                    uint32_t mode, std::string *error) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    *error = "cannot write the report " + path + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0;
  while (ok && done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  const int saved = errno;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = "cannot write the report " + path + ": " +
             std::strerror(errno != 0 ? errno : saved);
    unlink(temp.c_str());
  }
  return ok;
}

}  // namespace cli
}  // namespace kor
