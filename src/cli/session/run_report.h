// What a run of backup, restore or verify tells when watched: the
// progress line's text, the closing line, and the same as a JSON report
// for monitoring (--json FILE).
//
// Contract: pure formatting, except WriteRunReport, which replaces FILE
// whole (a temporary file beside it, renamed over it) so that a monitor
// never reads half a report.
#ifndef KORBR_CLI_SESSION_RUN_REPORT_H_
#define KORBR_CLI_SESSION_RUN_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kor {
namespace cli {

struct RunTotals {
  std::string command;          // "backup", "restore", "verify"
  bool ok = false;
  std::string error;            // the first error line of a failed run
  uint64_t data_bytes = 0;      // the stream: read (backup) or restored
  uint64_t stored_bytes = 0;    // handed to or read from the volumes
  uint64_t volumes = 0;         // over every stripe; 0 when not known
  uint32_t stripes = 0;
  double seconds = 0;
};

// The progress line's text: bytes, rate, and with a known `total` the
// percentage ("~" in front when it is only an estimate) and the time
// left; then each stripe's volume ("-" when not known).
std::string ProgressText(uint64_t done, double seconds, uint64_t total,
                         bool estimated,
                         const std::vector<std::string> &volumes);

// "N bytes of data, M stored (R:1), V volumes, T s, X MiB/s".
std::string ClosingLine(const RunTotals &totals);

// The totals as one JSON document.
std::string RunReportJson(const RunTotals &totals);

// Writes `text` to `path` with `mode` through a temporary file renamed
// over it.  False with *error set.
bool WriteRunReport(const std::string &path, const std::string &text,
                    uint32_t mode, std::string *error);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_RUN_REPORT_H_
