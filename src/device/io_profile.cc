#include "device/io_profile.h"

#include <cinttypes>

#include "diag/trace_log.h"
#include "os/os_layer.h"

namespace kor {
namespace {

// Whole seconds of a 100 ns count (its low 32 bits), in milliseconds.
uint32_t WholeSecondsAsMs(uint64_t hundred_ns) {
  const uint32_t low = static_cast<uint32_t>(hundred_ns);
  return low / 10u / 1000u / 1000u * 1000u;
}

}  // namespace

bool TakeTimeSample(bu_timeval *sample) {
  const uint32_t ticks = Os().TickCount();
  sample->tick_ms = ticks / 1000u * 1000u;
  ProcessTimes times;
  if (!Os().GetProcessTimes(&times)) return false;
  sample->creation_time = times.creation;
  sample->exit_time = times.exit;
  sample->kernel_time = times.kernel;
  sample->user_time = times.user;
  // Any tick count is a good one: elapsed times are unsigned differences,
  // right across the upper half of the count and its wrap to 0.
  return true;
}

void RecordIoRate(StripeHandle *h, const bu_timeval &start,
                  const bu_timeval &end, uint32_t bytes) {
  if (h->ioprof_table == nullptr || h->ioprof_used >= h->ioprof_samples) return;
  iorates &record = h->ioprof_table[h->ioprof_used];
  record.nbytes += bytes;
  // Unsigned 32-bit: also right when the tick count wrapped in between.
  record.elapsed.tick_ms = end.tick_ms - start.tick_ms;
  record.elapsed.creation_time = end.creation_time - start.creation_time;
  record.elapsed.exit_time = end.exit_time - start.exit_time;
  record.elapsed.kernel_time = end.kernel_time - start.kernel_time;
  record.elapsed.user_time = end.user_time - start.user_time;
  if (++h->ioprof_used == h->ioprof_samples) PrintIoRates(h);
}

void PrintIoRates(StripeHandle *h) {
  uint64_t bytes = 0;
  uint32_t wall = 0, usr = 0, cpu = 0;
  for (int32_t i = 0; i < h->ioprof_used; ++i) {
    const iorates &record = h->ioprof_table[i];
    bytes += record.nbytes;
    wall += record.elapsed.tick_ms;
    usr += WholeSecondsAsMs(record.elapsed.user_time);
    cpu += WholeSecondsAsMs(record.elapsed.kernel_time);
  }
  if (Traces(h, kTraceProfile))
    TraceLine(h, "Stripe %d bytes %" PRIu64 " wall %d usr %d cpu %d tps %d\n",
              h->stripe, bytes, static_cast<int>(wall), static_cast<int>(usr),
              static_cast<int>(cpu), 1000);
  for (int32_t i = 0; i < h->ioprof_used; ++i) h->ioprof_table[i] = iorates();
  h->ioprof_used = 0;
}

}  // namespace kor
