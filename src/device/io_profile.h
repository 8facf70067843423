// I/O profiling: with KORIOPROF = n (> 0), every successful raw transfer is
// timed (wall clock cut to whole seconds, process user and kernel time) and
// stored in a table of n records; a full table gives one statistics line
// under trace bit 0x02 and starts again; the rest is printed when the
// handle is released.
#ifndef KORBR_DEVICE_IO_PROFILE_H_
#define KORBR_DEVICE_IO_PROFILE_H_

#include <cstdint>

#include "core/stripe_handle.h"

namespace kor {

// Fills `sample`; false when it is not valid (process times unavailable).
// Every tick count is valid: elapsed times are taken wrap-safely, so
// profiling works at any uptime.
bool TakeTimeSample(bu_timeval *sample);

// Stores one transfer and prints when the table is full.
void RecordIoRate(StripeHandle *h, const bu_timeval &start,
                  const bu_timeval &end, uint32_t bytes);

// Prints the statistics line for the filled records and empties the table.
void PrintIoRates(StripeHandle *h);

}  // namespace kor

#endif  // KORBR_DEVICE_IO_PROFILE_H_
