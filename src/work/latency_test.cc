#include "work/latency.h"

#include <gtest/gtest.h>

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
