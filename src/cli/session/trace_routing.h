// Trace routing: where the library's trace log (written to descriptor 1)
// and korbr's data stream end up.
//
// Contract: RouteTrace() runs once, before the library is first called.
// The trace is off unless KORDBG, --trace or --trace-file asks for it; an
// unwanted trace is discarded (KORDBG=0, descriptor 1 on /dev/null), since
// the library writes some lines whatever the mask.  With --trace-file the
// trace goes to that file in every case.  When the data goes to standard
// output, the real standard output is first moved to a private descriptor
// for the data and descriptor 1 becomes the trace destination (the trace
// file, or standard error).  False with *error set when a descriptor cannot
// be set up.
#ifndef KORBR_CLI_SESSION_TRACE_ROUTING_H_
#define KORBR_CLI_SESSION_TRACE_ROUTING_H_

#include <cstdint>
#include <string>

namespace kor {
namespace cli {

struct TraceRequest {
  bool trace = false;        // --trace or --trace-file
  int trace_mask = -1;       // --trace=MASK; -1: KORDBG or the default
  std::string trace_file;    // "" for none
  uint32_t file_mode = 0600; // of a trace file korbr creates
  bool data_to_stdout = false;
};

struct TraceRoute {
  bool trace_on = false;  // the library's trace is wanted
  int data_fd = -1;       // the data's descriptor when it goes to stdout
};

bool RouteTrace(const TraceRequest &request, TraceRoute *route,
                std::string *error);

}  // namespace cli
}  // namespace kor

#endif  // KORBR_CLI_SESSION_TRACE_ROUTING_H_
