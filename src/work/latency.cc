#include "work/latency.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>

namespace treeflood {

bool tscClock = false;

void initLatencyClock() {
#if defined(__x86_64__)
  std::ifstream source(
      "/sys/devices/system/clocksource/clocksource0/current_clocksource");
  std::string name;
  tscClock = (source >> name) && name == "tsc";
#endif
}

size_t latencyBucket(uint64_t ticks) {
  if (ticks < kSubBuckets) return static_cast<size_t>(ticks);
  unsigned top = static_cast<unsigned>(std::bit_width(ticks)) - 1;
  if (top > kTopBit) return kLatencyBuckets - 1;
  // The kSubBits bits below the leading one pick the bucket within its power
  // of two.
  uint64_t sub = (ticks >> (top - kSubBits)) & (kSubBuckets - 1);
  return static_cast<size_t>((top - kSubBits + 1) * kSubBuckets + sub);
}

uint64_t bucketValue(size_t bucket) {
  if (bucket < kSubBuckets) return bucket;
  unsigned top = static_cast<unsigned>(bucket / kSubBuckets) + kSubBits - 1;
  uint64_t sub = bucket % kSubBuckets;
  uint64_t width = uint64_t{1} << (top - kSubBits);
  return (kSubBuckets + sub) * width + width / 2;
}

void mergeLatency(LatencyHistogram* into, const LatencyHistogram& from) {
  if (from.total == 0) return;
  for (size_t b = 0; b < kLatencyBuckets; ++b)
    into->counts[b] += from.counts[b];
  into->total += from.total;
  if (from.min < into->min) into->min = from.min;
  if (from.max > into->max) into->max = from.max;
}

void ticksToNs(LatencyHistogram* h, double nsPerTick) {
  if (h->total == 0) return;
  auto ns = [=](uint64_t ticks) {
    return static_cast<uint64_t>(
        std::llround(static_cast<double>(ticks) * nsPerTick));
  };
  auto ticks = std::make_unique<uint64_t[]>(kLatencyBuckets);
  std::copy(h->counts, h->counts + kLatencyBuckets, ticks.get());
  std::fill(h->counts, h->counts + kLatencyBuckets, 0);
  for (size_t b = 0; b < kLatencyBuckets; ++b) {
    if (ticks[b] != 0) {
      h->counts[latencyBucket(
          ns(std::clamp(bucketValue(b), h->min, h->max)))] += ticks[b];
    }
  }
  h->min = ns(h->min);
  h->max = ns(h->max);
}

uint64_t latencyPercentile(const LatencyHistogram& h, double percentile) {
  if (h.total == 0) return 0;
  // The extremes are kept exactly.
  if (percentile <= 0) return h.min;
  if (percentile >= 100) return h.max;
  // The rank of the value sought, 1-based: the smallest value with at least
  // this many values at or below it.
  double wanted = std::ceil(percentile / 100 * static_cast<double>(h.total));
  uint64_t rank = wanted < 1 ? 1 : static_cast<uint64_t>(wanted);
  if (rank > h.total) rank = h.total;
  uint64_t seen = 0;
  for (size_t b = 0; b < kLatencyBuckets; ++b) {
    seen += h.counts[b];
    if (seen >= rank) {
      uint64_t v = bucketValue(b);
      return v < h.min ? h.min : v > h.max ? h.max : v;
    }
  }
  return h.max;
}

void latencyMoments(const LatencyHistogram& h, double* mean, double* stddev) {
  *mean = *stddev = 0;
  if (h.total == 0) return;
  // Two passes: the sum of squared distances from the mean doesn't lose the
  // spread to rounding as a sum of squares would.
  auto value = [&](size_t b) {
    return static_cast<double>(std::clamp(bucketValue(b), h.min, h.max));
  };
  const double n = static_cast<double>(h.total);
  double sum = 0;
  for (size_t b = 0; b < kLatencyBuckets; ++b)
    sum += static_cast<double>(h.counts[b]) * value(b);
  *mean = sum / n;
  double squares = 0;
  for (size_t b = 0; b < kLatencyBuckets; ++b) {
    double d = value(b) - *mean;
    squares += static_cast<double>(h.counts[b]) * d * d;
  }
  *stddev = std::sqrt(squares / n);
}

}  // namespace treeflood
