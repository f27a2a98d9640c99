// Per-file latency: a fixed-size log-linear histogram of latencyTicks
// differences, filled by one thread without locks and merged after the
// threads are joined. A phase converts ticks to nanoseconds by its length.
#ifndef TREEFLOOD_WORK_LATENCY_H_
#define TREEFLOOD_WORK_LATENCY_H_

#include <stddef.h>
#include <stdint.h>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include "console/clock.h"

namespace treeflood {

// Values below 2^kSubBits ticks each have a bucket of their own; above, every
// power of two is split into 2^kSubBits buckets, so a bucket spans at most
// 1/128 of its values and its midpoint is within 0.4% of any of them.
const unsigned kSubBits = 7;
const uint64_t kSubBuckets = uint64_t{1} << kSubBits;
// Up to 2^42 ticks (73 minutes in nanoseconds, 20 at 3.5 GHz); longer values
// land in the last bucket, though the exact maximum is kept beside it.
const unsigned kTopBit = 42;
const size_t kLatencyBuckets = kSubBuckets * (kTopBit - kSubBits + 2);

struct LatencyHistogram {
  uint64_t counts[kLatencyBuckets] = {};
  uint64_t total = 0;
  uint64_t min = UINT64_MAX;
  uint64_t max = 0;
};

// The bucket of `ticks`, and the value that stands for a bucket (its
// midpoint, or the value itself below 2^kSubBits).
size_t latencyBucket(uint64_t ticks);
uint64_t bucketValue(size_t bucket);

inline void recordLatency(LatencyHistogram* h, uint64_t ticks) {
  ++h->counts[latencyBucket(ticks)];
  ++h->total;
  if (ticks < h->min) h->min = ticks;
  if (ticks > h->max) h->max = ticks;
}

// Adds `from` to `into`.
void mergeLatency(LatencyHistogram* into, const LatencyHistogram& from);

// Turns a histogram of ticks into one of nanoseconds, `nsPerTick` each, so
// that histograms of machines whose ticks differ can be merged. Each bucket's
// count moves to the bucket of its value's nanoseconds.
void ticksToNs(LatencyHistogram* h, double nsPerTick);

// The value at `percentile` (0 to 100) of the recorded ones: the smallest
// whose rank covers that share, within 0.4%; the exact minimum at 0 and
// maximum at 100; 0 when nothing was recorded.
uint64_t latencyPercentile(const LatencyHistogram& h, double percentile);

// The mean and the standard deviation of the recorded values, each taken at
// its bucket's value (within 0.4%); both 0 when nothing was recorded.
void latencyMoments(const LatencyHistogram& h, double* mean, double* stddev);

// Whether latencyTicks reads the processor's time-stamp counter. Set by
// initLatencyClock; false (nanoseconds) until then.
extern bool tscClock;

// Uses the time-stamp counter for latencies where the kernel keeps its own
// time with it, which vouches for a constant rate that all cores share.
void initLatencyClock();

// A timestamp for one file's latency: the time-stamp counter, at less than
// half the cost of a clock_gettime, or else monotonic nanoseconds. A phase
// converts ticks to nanoseconds by its own length in both.
inline uint64_t latencyTicks() {
#if defined(__x86_64__)
  if (tscClock) return __rdtsc();
#endif
  return monotonicNs();
}

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_LATENCY_H_
