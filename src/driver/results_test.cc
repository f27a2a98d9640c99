#include "driver/results.h"

#include <gtest/gtest.h>

// The faults the end-to-end tests can't bring about.
TEST(Results, ValidOnlyWhenAllWasDone) {
  const struct {
    const char* fault;
    void (*apply)(RunResults*);
  } cases[] = {
      {"none", [](RunResults*) {}},
      {"a thread",
       [](RunResults* r) { r->phases[kDeletePhase].stats.threadsRun = 3; }},
      {"ls's signal", [](RunResults* r) { r->listing.signal = 9; }},
  };
  for (const auto& c : cases) {
    RunResults r;
    for (PhaseResult& p : r.phases) {
      p.ran = true;
      p.stats.threadsRun = 4;
    }
    r.listing.ran = true;
    c.apply(&r);
    EXPECT_EQ(runValid(r, 4), c.fault == std::string("none")) << c.fault;
  }
}

TEST(Results, SpreadAndLatenciesOverIterations) {
  // 1000, 2000 and 4000 files/s; the create phase's latencies 1000 ticks of
  // 1 ns in the first and 2000 ticks of 3 ns in the second, none after.
  std::vector<RunResults> runs(3);
  const double seconds[] = {1, 0.5, 0.25};
  for (size_t i = 0; i < runs.size(); ++i) {
    PhaseResult& p = runs[i].phases[kCreatePhase];
    p = {.ran = true, .files = 1000, .wallSeconds = seconds[i]};
  }
  recordLatency(&runs[0].phases[kCreatePhase].stats.latency, 1000);
  recordLatency(&runs[1].phases[kCreatePhase].stats.latency, 2000);
  runs[1].phases[kCreatePhase].stats.nsPerTick = 3;
  const RateSpread spread = rateSpread(runs, kCreatePhase);
  EXPECT_EQ(spread.count, 3u);
  EXPECT_NEAR(spread.mean, 7000.0 / 3, 1e-9);
  EXPECT_EQ(spread.min, 1000);
  EXPECT_EQ(spread.max, 4000);
  EXPECT_NEAR(spread.stddev, 1527.525, 1e-3);  // the sample's, n - 1
  EXPECT_EQ(rateSpread(runs, kSizePhase).count, 0u);
  // Every iteration's files, at the mean tick length of the files timed.
  auto merged = mergedLatency(runs, kCreatePhase);
  EXPECT_EQ(merged->ticks.total, 2u);
  EXPECT_EQ(merged->nsPerTick, 2);
  EXPECT_EQ(latencyMicros(merged->ticks, merged->nsPerTick, 0), 2);
  EXPECT_EQ(latencyMicros(merged->ticks, merged->nsPerTick, 100), 4);
}
