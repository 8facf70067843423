// The trace log: one line per event on standard output, flushed at once,
// with identical consecutive lines (from any handle) collapsed into one
// line and a repeat count.
//
// Callers gate each line themselves: if (Traces(h, kTraceVolume))
// TraceLine(h, ...).  Lines of any length are printed whole, and the repeat
// filter compares the same whole text.
#ifndef KORBR_DIAG_TRACE_LOG_H_
#define KORBR_DIAG_TRACE_LOG_H_

#include <cstdint>
#include <string>

#include "diag/diag_context.h"

namespace kor {

#if defined(__GNUC__)
#define KOR_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define KOR_PRINTF_FORMAT(f, a)
#endif

// Formats one line (printf conventions; use PRId64 / PRIu64 for 64-bit
// values) and prints it through the repeat filter.  Never fails.
void TraceLine(const DiagContext *h, const char *format, ...)
    KOR_PRINTF_FORMAT(2, 3);

// Reads a trace mask or sample count the way the environment variables are
// read: leading white space, one optional sign, decimal digits up to the
// first other character; no digits give 0; the result wraps to 32 bits.
int32_t ParseDecimalInt(const std::string &text);

// Forgets the last line and the repeat count (tests only).
void ResetTraceMemoryForTesting();

}  // namespace kor

#endif  // KORBR_DIAG_TRACE_LOG_H_
