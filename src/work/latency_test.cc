#include "work/latency.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

// The exact value at `percentile` by nearest rank, as the histogram defines
// it: the smallest value with at least that share at or below it.
uint64_t exactPercentile(std::vector<uint64_t> values, double percentile) {
  std::sort(values.begin(), values.end());
  double rank =
      std::ceil(percentile / 100 * static_cast<double>(values.size()));
  size_t k = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return values[std::min(k, values.size() - 1)];
}

LatencyHistogram histogramOf(const std::vector<uint64_t>& values) {
  LatencyHistogram h;
  for (uint64_t v : values) recordLatency(&h, v);
  return h;
}

}  // namespace

TEST(Latency, BucketsAreOrderedAndTight) {
  // Every value up to 2^42 ns maps to a bucket that stands for it within
  // 0.4%, and larger values never map to a lower bucket.
  size_t previous = 0;
  for (uint64_t v = 1; v < (uint64_t{1} << 42); v += v / 97 + 1) {
    size_t b = latencyBucket(v);
    ASSERT_LT(b, kLatencyBuckets) << v;
    ASSERT_GE(b, previous) << v;
    previous = b;
    double value = static_cast<double>(bucketValue(b));
    ASSERT_LE(std::fabs(value - static_cast<double>(v)),
              0.004 * static_cast<double>(v))
        << v;
  }
  EXPECT_EQ(bucketValue(latencyBucket(127)), 127u);
  EXPECT_EQ(latencyBucket(UINT64_MAX), kLatencyBuckets - 1);
}

TEST(Latency, PercentilesWithinOnePercent) {
  // Log-uniform from 100 ns to one hour, and a narrow cluster.
  std::mt19937_64 random(42);
  std::uniform_real_distribution<double> exponent(2, std::log10(3.6e12));
  std::normal_distribution<double> cluster(5000, 300);
  std::vector<uint64_t> wide, narrow;
  for (int i = 0; i < 100000; ++i) {
    wide.push_back(static_cast<uint64_t>(std::pow(10, exponent(random))));
    narrow.push_back(static_cast<uint64_t>(std::max(100.0, cluster(random))));
  }
  for (const auto* values : {&wide, &narrow}) {
    LatencyHistogram h = histogramOf(*values);
    EXPECT_EQ(h.total, values->size());
    for (double p : {0.0, 1.0, 50.0, 90.0, 99.0, 99.9, 100.0}) {
      double exact = static_cast<double>(exactPercentile(*values, p));
      double got = static_cast<double>(latencyPercentile(h, p));
      EXPECT_LE(std::fabs(got - exact), 0.01 * exact) << "p" << p;
    }
    EXPECT_EQ(latencyPercentile(h, 100),
              *std::max_element(values->begin(), values->end()));
    EXPECT_EQ(h.min, *std::min_element(values->begin(), values->end()));
  }
}

TEST(Latency, SingleSampleAndExtremes) {
  for (uint64_t v : {uint64_t{0}, uint64_t{1}, uint64_t{12345},
                     uint64_t{3600} * 1000000000, UINT64_MAX}) {
    LatencyHistogram h = histogramOf({v});
    for (double p : {0.0, 50.0, 99.9, 100.0}) {
      EXPECT_EQ(latencyPercentile(h, p), v) << v << " p" << p;
    }
  }
  LatencyHistogram empty;
  EXPECT_EQ(latencyPercentile(empty, 50), 0u);
}

TEST(Latency, MergeEqualsOneHistogramOfAll) {
  std::vector<uint64_t> a = {150, 900, 7000, 7001, 2000000};
  std::vector<uint64_t> b = {90, 40000, 40000};
  LatencyHistogram merged = histogramOf(a);
  mergeLatency(&merged, histogramOf(b));
  mergeLatency(&merged, LatencyHistogram{});
  std::vector<uint64_t> all = a;
  all.insert(all.end(), b.begin(), b.end());
  LatencyHistogram whole = histogramOf(all);
  EXPECT_EQ(merged.total, whole.total);
  EXPECT_EQ(merged.min, 90u);
  EXPECT_EQ(merged.max, 2000000u);
  for (size_t i = 0; i < kLatencyBuckets; ++i) {
    ASSERT_EQ(merged.counts[i], whole.counts[i]) << i;
  }
}
