#include "driver/compare.h"

#include <gtest/gtest.h>

#include "driver/json.h"
#include "test_util.h"

namespace treeflood {

namespace {

StoredResult withRates(std::vector<double> create, std::string host = "h") {
  StoredResult r;
  r.rates[static_cast<int>(Phase::Create)] = std::move(create);
  r.host = host;
  r.valid = true;
  return r;
}

}  // namespace

// The verdicts, p-values and intervals checked against a SciPy version of
// the method (the delta method on the logs with scipy.stats.t).
TEST(Compare, VerdictsFollowTheIntervalAndTheThreshold) {
  const struct {
    std::vector<double> baseline, now;
    const char* verdict;
    std::vector<double> figures;  // p-value, interval's ends; if given
    double threshold = 5;
  } cases[] = {
      {{10, 12, 14}, {7, 8, 9}, "slower", {0.03145639, -52.76349, -5.910825}},
      {{10, 10.2, 9.8},
       {7, 7.1, 6.9},
       "slower",
       {3.405285e-05, -32.81785, -27.06396}},
      // No spread at all: any difference is certain.
      {{10, 10}, {9, 9}, "slower", {0, -10, -10}},
      {{10, 10.2, 9.8}, {13, 13.1, 12.9}, "faster", {}},
      // Wide: the interval holds no change, and never passes -100%.
      {{10, 30, 50},
       {24, 1, 60},
       "no significant change",
       {0.9410131, -88.92717, 705.5528}},
      // Certain, but within the threshold.
      {{100, 100.5, 99.5},
       {95, 95.2, 94.8},
       "within threshold",
       {0.0009053647, -6.00703, -3.982181},
       6},
      // A mean of 0: no interval, no verdict.
      {{10, 11}, {0, 0}, "no significant change", {}},
      {{10}, {9.6}, "within threshold (one iteration)", {}},
      {{10}, {9}, "slower (one iteration)", {}},
      {{10, 11}, {22}, "faster (one iteration)", {}},
  };
  for (const auto& c : cases) {
    const Comparison result =
        compareResults(withRates(c.baseline), withRates(c.now), c.threshold);
    ASSERT_EQ(result.phases.size(), 1u);
    const PhaseComparison& p = result.phases[0];
    EXPECT_STREQ(p.verdict, c.verdict) << c.baseline[0];
    const bool slower = std::string(c.verdict).rfind("slower", 0) == 0;
    EXPECT_EQ(p.regressed, slower);
    EXPECT_EQ(result.regressed, slower);
    EXPECT_EQ(p.unbounded, c.now[0] == 0);
    if (c.figures.empty()) continue;
    EXPECT_NEAR(p.pValue, c.figures[0], 1e-6);
    EXPECT_NEAR(p.low, c.figures[1], 1e-4);
    EXPECT_NEAR(p.high, c.figures[2], 1e-4);
  }
  // Two phases: each interval is then 97.5%, so that both hold together at
  // 95%, and p = 0.031 (the first row's) is no longer significant.
  StoredResult a = withRates({10, 12, 14}), b = withRates({7, 8, 9});
  a.rates[static_cast<int>(Phase::Delete)] = {10, 12, 14};
  b.rates[static_cast<int>(Phase::Delete)] = {7, 8, 9};
  for (const PhaseComparison& p : compareResults(a, b, 5).phases) {
    EXPECT_STREQ(p.verdict, "no significant change");
  }
  // Only the phases both ran; another host and mount options are noted, and
  // other threads named in the header, not refused.
  StoredResult here = withRates({1, 2}), other = withRates({1, 2}, "elsewhere");
  other.rates[static_cast<int>(Phase::Size)] = {5};
  other.mountOptions = "rw,noatime";
  other.threads = "4";
  here.threads = "1";
  here.otherCpus[static_cast<int>(Phase::Create)] = {1.2, 1.4};
  const Comparison c = compareResults(here, other, 5);
  EXPECT_EQ(c.phases.size(), 1u);
  EXPECT_EQ(c.notes, (std::vector<std::string>{
                         "the baseline ran on h, this run on elsewhere",
                         "the baseline's file system was mounted , this "
                         "run's rw,noatime",
                         "the host was busy during the baseline: other "
                         "processes used 1.3 CPUs during create"}));
  EXPECT_MATCH(comparisonText(c, "Compared with b.json"),
               "Warning: the baseline ran on h*\nWarning: *\nCompared with "
               "b.json: *; threads: 1 in the baseline, 4 here\n*");
}

TEST(Compare, ReadsTheRatesAndWorkloadOfEachFormat) {
  // Format 2: threads per rank, and no file-work rates but their parts.
  const std::string format2 = R"({"format_version": 2, "ranks": ["a", "b"],
    "settings": {"files": 10, "threads": 3, "file_size": 0, "direct_io": true,
                 "drop_caches": 0, "time_limit_seconds": null},
    "system": {"hostname": "a", "file_system": "xfs"}, "valid": true,
    "iterations": [
      {"phases": {"create": {"files": 10, "files_done": 8, "file_seconds": 2}},
       "listing": {"wall_seconds": 0.5, "exit_status": 0}},
      {"phases": {"create": {"files": 10, "files_done": 10, "file_seconds": 1}},
       "listing": {"wall_seconds": 0.5, "exit_status": 2}}]})";
  StoredResult r;
  std::string error;
  // What is not a result is refused, and said why.
  for (auto [text, why] :
       {std::pair<std::string, std::string>{
            R"({"format_version": 3, "settings": {)", "not JSON, or cut short"},
        {R"({"format_version": 3, "iterations": []})",
         "not a treeflood result: no settings or iterations"},
        {R"({"format_version": 4})",
         "format_version 4 is not one this version reads (2 to 3)"},
        {R"({"format_version": 3, "sides": {}})",
         "it holds the two sides of a run with --against: give it alone to "
         "--stored to compare them"}}) {
    EXPECT_FALSE(readResult(text, &r, &error));
    EXPECT_EQ(error, why);
  }
  // Two sides or none: a side's own faults are named with the side.
  StoredResult sides[2];
  for (auto [text, why] :
       {std::pair<std::string, std::string>{
            format2,
            "it holds one run, not the two sides of a run "
            "with --against: name its baseline with "
            "--compare"},
        {R"({"format_version": 3, "sides": {"A": )" + format2 + "}}",
         "it has no side B"},
        {R"({"format_version": 3, "sides": {"A": )" + format2 +
             R"(, "B": {"format_version": 9}}})",
         "side B: format_version 9 is not one this "
         "version reads (2 to 3)"}}) {
    EXPECT_FALSE(readSides(text, sides, &error));
    EXPECT_EQ(error, why);
  }
  // Figures that can't be rates, in the second iteration's create phase.
  for (auto [figures, why] :
       {std::pair{R"("x", "file_seconds": 1)",
                  R"(files_done "x" is not a count of files)"},
        {R"(-5, "file_seconds": 1)", "files_done -5 is not a count of files"},
        {R"(0, "file_seconds": 1)", "files_done 0 is not a count of files"},
        {R"(1, "file_seconds": 1e-300)",
         "file_seconds 1e-300 is not a time of 1 ns or more"},
        {R"(1e308, "file_seconds": 2)",
         "1e+308 files in 2 s is over a billion files a second"}}) {
    std::string text = format2;
    const std::string second = "10, \"file_seconds\": 1";
    text.replace(text.rfind(second), second.size(), figures);
    EXPECT_FALSE(readResult(text, &r, &error)) << figures;
    EXPECT_EQ(error, std::string("iteration 2, create phase: ") + why);
  }
  // Results that read but can't be compared, and why.
  const std::string one = R"("iterations": [{"phases": {}}], )";
  for (auto [rest, why] :
       {std::pair{std::string(R"("iterations": [], "interrupted": {"signal": )"
                              R"("SIGINT"}})"),
                  "it has no finished iteration (interrupted by SIGINT)"},
        {one + R"("valid": false, "interrupted": {"reason": "stall"}})",
         "it was interrupted by a stalled rank"},
        {R"("iterations": [{"phases": {"create": {"files_done": 1, )"
         R"("file_seconds": 1, "files_failed": 10325}}}]})",
         "it is not valid: 10325 operations failed in it"},
        {one + R"("valid": false})", "it is not valid (see its warnings)"}}) {
    ASSERT_TRUE(readResult(R"({"format_version": 3, "settings": {}, )" + rest,
                           &r, &error))
        << error;
    EXPECT_EQ(unusableReason(r), why);
  }
  ASSERT_TRUE(readResult(format2, &r, &error)) << error;
  EXPECT_EQ(r.rates[static_cast<int>(Phase::Create)],
            (std::vector<double>{4, 10}));
  // The failed listing left out; threads in total from format 2's parts.
  EXPECT_EQ(r.rates[static_cast<int>(Phase::List)], std::vector<double>{16});
  EXPECT_EQ(r.threads, "6");
  EXPECT_EQ(unusableReason(r), "");
  StoredResult now = r;
  // A result without the later keys ran what their defaults say.
  std::string later = format2;
  later.replace(later.find("\"drop_caches\""), 0,
                R"("fsync": "file", "directories": 2, "order": "random", )"
                R"("data": "random", "read": true, )");
  ASSERT_TRUE(readResult(later, &now, &error)) << error;
  EXPECT_EQ(workloadDifferences(now, r),
            (std::vector<std::string>{
                R"(fsync: "file" in the baseline, "none" here)",
                "directories: 2 in the baseline, 1024 here",
                R"(order: "random" in the baseline, "sequential" here)",
                R"(data: "random" in the baseline, "zeros" here)",
                "read: true in the baseline, false here"}));
}

}  // namespace treeflood
