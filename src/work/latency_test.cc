#include "work/latency.h"

#include <gtest/gtest.h>

#include <cmath>

namespace treeflood {

TEST(Latency, PercentilesAndMerges) {
  // 1 to 10 ticks, each exactly in a bucket of its own; merged from two
  // halves, in both orders, the minimum and maximum are the whole's.
  LatencyHistogram low, high;
  for (uint64_t v = 1; v <= 5; ++v) recordLatency(&low, v);
  for (uint64_t v = 6; v <= 10; ++v) recordLatency(&high, v);
  LatencyHistogram lowFirst = low, highFirst = high;
  mergeLatency(&lowFirst, high);
  mergeLatency(&highFirst, low);
  // The smallest value with at least that share of the values at or below
  // it: the rank is rounded up.
  for (auto [percentile, value] : {std::pair{0.0, 1u},
                                   {10.0, 1u},
                                   {11.0, 2u},
                                   {50.0, 5u},
                                   {55.0, 6u},
                                   {99.0, 10u},
                                   {100.0, 10u}}) {
    EXPECT_EQ(latencyPercentile(lowFirst, percentile), value) << percentile;
    EXPECT_EQ(latencyPercentile(highFirst, percentile), value) << percentile;
  }
  EXPECT_EQ(highFirst.total, 10u);
  double mean, stddev;
  latencyMoments(highFirst, &mean, &stddev);
  EXPECT_DOUBLE_EQ(mean, 5.5);
  EXPECT_DOUBLE_EQ(stddev, std::sqrt(8.25));
}

TEST(Latency, TicksToNanosecondsKeepsEveryPercentile) {
  // 1000 values of 10 to 10^6 ticks, at 0.37 ns a tick.
  LatencyHistogram h;
  for (uint64_t i = 1; i <= 1000; ++i) recordLatency(&h, 10 + i * i);
  const LatencyHistogram ticks = h;
  ticksToNs(&h, 0.37);
  EXPECT_EQ(h.total, 1000u);
  for (double p : {0.0, 10.0, 50.0, 99.0, 100.0}) {
    const double expected =
        static_cast<double>(latencyPercentile(ticks, p)) * 0.37;
    // Two bucketings, each within 0.4%.
    EXPECT_NEAR(static_cast<double>(latencyPercentile(h, p)), expected,
                expected * 0.009 + 1)
        << p;
  }
}

}  // namespace treeflood
