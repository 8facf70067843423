// The trace log and its repeat filter.
//
// The last line and the repeat count are shared by all handles (a line of
// one stripe equal to the previous line of another counts as a repeat), so
// they live behind the process mutex.  The mutex stays held while a line is
// written: lines of different stripes must neither tear nor change order
// against the repeat notices that belong to them.
#include "diag/trace_log.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diag/host_callbacks.h"
#include "os/os_layer.h"

namespace kor {
namespace {

struct TraceMemory {
  std::string last_line;     // text of the last line printed
  int64_t repeat_count = 0;  // equal lines seen since it was printed
};

TraceMemory &Memory() {
  // Never destroyed: a handle traced from another static destructor at exit
  // must still find it.
  static TraceMemory *memory = new TraceMemory;
  return *memory;
}

// printf-style formatting into a string of whatever length the line needs.
std::string FormatLine(const char *format, va_list args) {
  char small[256];
  va_list again;
  va_copy(again, args);
  int needed = std::vsnprintf(small, sizeof small, format, args);
  std::string line;
  if (needed < 0) {
    line.clear();
  } else if (static_cast<size_t>(needed) < sizeof small) {
    line.assign(small, static_cast<size_t>(needed));
  } else {
    line.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(&line[0], line.size(), format, again);
    line.resize(static_cast<size_t>(needed));
  }
  va_end(again);
  // A line is a C text: a NUL from a "%c" argument ends it, as it would
  // end it on the output.
  line.resize(std::strlen(line.c_str()));
  return line;
}

bool IsDecimalSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

}  // namespace

void TraceLine(const DiagContext * /*h*/, const char *format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  std::string line = FormatLine(format, args);
  va_end(args);

  std::lock_guard<std::mutex> lock(ProcessMutex());
  TraceMemory &memory = Memory();
  if (line == memory.last_line) {
    ++memory.repeat_count;
    return;
  }
  if (memory.repeat_count != 0) {
    char notice[64];
    std::snprintf(notice, sizeof notice,
                  "Previous message repeated %" PRId64 " times\n",
                  memory.repeat_count);
    Os().WriteTraceLine(notice);
  }
  Os().WriteTraceLine(line);
  memory.repeat_count = 0;
  memory.last_line = std::move(line);
}

int32_t ParseDecimalInt(const std::string &text) {
  size_t i = 0;
  while (i < text.size() && IsDecimalSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Unsigned arithmetic wraps where a signed one would overflow.
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

void ResetTraceMemoryForTesting() {
  std::lock_guard<std::mutex> lock(ProcessMutex());
  Memory().last_line.clear();
  Memory().repeat_count = 0;
}

}  // namespace kor
