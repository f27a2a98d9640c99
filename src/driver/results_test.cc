#include "driver/results.h"

#include <gtest/gtest.h>

namespace treeflood {

// The faults the end-to-end tests can't bring about.
TEST(Results, ValidOnlyWhenAllWasDone) {
  const struct {
    const char* fault;
    void (*apply)(RunResults*);
  } cases[] = {
      {"none", [](RunResults*) {}},
      {"a thread",
       [](RunResults* r) { (*r)[Phase::Delete].stats.threadsRun = 3; }},
      {"ls's signal",
       [](RunResults* r) { (*r)[Phase::List].command->signal = 9; }},
  };
  for (const auto& c : cases) {
    RunResults r;
    for (PhaseResult& p : r.phases) {
      p.ran = true;
      p.stats.threadsRun = 4;
    }
    r[Phase::List].command = CommandResult{.ran = true};
    r[Phase::List].stats.threadsRun = 0;
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
    PhaseResult& p = runs[i][Phase::Create];
    // The wall time counts the directories too; the rates are the files'.
    p = {.ran = true, .files = 1000, .wallSeconds = 2 * seconds[i]};
    p.stats.fileSeconds = seconds[i];
  }
  recordLatency(&runs[0][Phase::Create].stats.latency, 1000);
  recordLatency(&runs[1][Phase::Create].stats.latency, 2000);
  runs[1][Phase::Create].stats.nsPerTick = 3;
  const RateSpread spread =
      rateSpread(iterationRates(runs, Phase::Create, true));
  EXPECT_EQ(spread.count, 3u);
  EXPECT_NEAR(spread.mean, 7000.0 / 3, 1e-9);
  EXPECT_EQ(spread.min, 1000);
  EXPECT_EQ(spread.max, 4000);
  EXPECT_NEAR(spread.stddev, 1527.525, 1e-3);  // the sample's, n - 1
  EXPECT_EQ(iterationRates(runs, Phase::Size, true).size(), 0u);
  EXPECT_EQ(iterationRates(runs, Phase::Create, false)[2], 2000);
  // Every iteration's files, at the mean tick length of the files timed.
  auto merged = mergedLatency(runs, Phase::Create);
  EXPECT_EQ(merged->ticks.total, 2u);
  EXPECT_EQ(merged->nsPerTick, 2);
  EXPECT_EQ(latencyMicros(merged->ticks, merged->nsPerTick, 0), 2);
  EXPECT_EQ(latencyMicros(merged->ticks, merged->nsPerTick, 100), 4);
}

TEST(Results, WarningsWhereFiguresCantBeTrusted) {
  // Iterations of a create phase of 1000 files, each with its file work
  // seconds and its timeline as (seconds, files handed out).
  using Samples = std::vector<TimelineSample>;
  // The last files take long, but every number is out: no stall.
  const Samples steady = {{0.5, 200}, {1, 400}, {2, 1000}, {3.5, 1000}};
  // Still from 0.5 s to 1.75 s.
  const Samples stalled = {{0.5, 200}, {1.75, 200}, {2, 1000}, {3.5, 1000}};
  const struct {
    std::vector<double> seconds;
    std::vector<Samples> timelines;
    unsigned threads;
    std::vector<std::string> warnings;
    double others = 0.5;  // CPUs other processes used, in each iteration
  } cases[] = {
      {{2, 2.1}, {steady, steady}, 2, {}},
      {{2, 2.1},
       {steady, steady},
       2,
       {"the host was busy: other processes used 1.3 CPUs during create; "
        "compare side by side with --against"},
       1.3},
      {{0.9},
       {steady},
       2,
       {"create: 0.900 s of file work, too short to compare: raise -f"}},
      {{2, 2.5},
       {steady, steady},
       3,
       {"create: files/s vary by 15.7% across 2 iterations (coefficient of "
        "variation above 10%)",
        "3 threads on 2 online CPUs: tail latencies include waiting for a "
        "CPU"}},
      {{3},
       {stalled},
       2,
       {"create, iteration 1: no file finished for 1.25 s from 0.50 s while "
        "files were in flight (a stall)",
        "create, iteration 1: rank 2 was silent"}},
  };
  for (const auto& c : cases) {
    std::vector<RunResults> runs(c.seconds.size());
    for (size_t i = 0; i < runs.size(); ++i) {
      PhaseResult& p = runs[i][Phase::Create];
      p = {.ran = true, .files = 1000, .wallSeconds = c.seconds[i]};
      p.stats.fileSeconds = c.seconds[i];
      p.stats.timeline = c.timelines[i];
      p.host = {.known = true, .otherCpus = c.others};
      // What a runner saw in the stalled iteration, kept with its phase.
      p.stats.warnings.assign(c.timelines[i][1].files == 200,
                              "rank 2 was silent");
    }
    EXPECT_EQ(runWarnings(runs, c.threads, 2), c.warnings) << c.seconds[0];
  }
}

TEST(Results, FilesBegunLeaveOutTheGrantsRanksHeld) {
  PhaseStats stats;
  EXPECT_EQ(filesBegun(stats, 100), 100u);
  stats.ranks = {{.files = 5}, {.files = 3}, {.files = 2}};
  EXPECT_EQ(filesBegun(stats, 100), 10u);
}

}  // namespace treeflood
