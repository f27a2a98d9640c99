#include "driver/compare.h"

#include <gtest/gtest.h>

#include "driver/json.h"

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

// The verdicts, p-values and intervals checked against SciPy's Welch test
// (scipy.stats.ttest_ind, equal_var=False).
TEST(Compare, VerdictsFollowTheTestAndTheThreshold) {
  const struct {
    std::vector<double> baseline, now;
    const char* verdict;
    std::vector<double> figures;  // p-value, interval's ends; if given
    double threshold = 5;
  } cases[] = {
      // A third slower, but too noisy to tell at 5%.
      {{10, 12, 14},
       {7, 8, 9},
       "no change beyond noise",
       {0.0547868, -67.96166, 1.295}},
      {{10, 10.2, 9.8},
       {7, 7.1, 6.9},
       "slower",
       {0.000199254, -34.1554, -25.8446}},
      // No spread at all: any difference is certain.
      {{10, 10}, {9, 9}, "slower", {0, -10, -10}},
      {{10, 10.2, 9.8}, {13, 13.1, 12.9}, "faster", {}},
      // Certain, but within the threshold.
      {{10, 10.2, 9.8}, {7, 7.1, 6.9}, "no change beyond noise", {}, 40},
      {{10}, {9.6}, "one iteration: no spread", {}},
      {{10, 11}, {20}, "one iteration: no spread", {}},
  };
  for (const auto& c : cases) {
    const Comparison result =
        compareResults(withRates(c.baseline), withRates(c.now), c.threshold);
    ASSERT_EQ(result.phases.size(), 1u);
    const PhaseComparison& p = result.phases[0];
    EXPECT_STREQ(p.verdict, c.verdict) << c.baseline[0];
    const bool slower = std::string(c.verdict) == "slower";
    EXPECT_EQ(p.regressed, slower);
    EXPECT_EQ(result.regressed, slower);
    if (c.figures.empty()) continue;
    EXPECT_NEAR(p.pValue, c.figures[0], 1e-6);
    EXPECT_NEAR(p.low, c.figures[1], 1e-4);
    EXPECT_NEAR(p.high, c.figures[2], 1e-4);
  }
  // Only the phases both ran; another host is noted, not refused.
  StoredResult other = withRates({1, 2}, "elsewhere");
  other.rates[static_cast<int>(Phase::Size)] = {5};
  const Comparison c = compareResults(withRates({1, 2}), other, 5);
  EXPECT_EQ(c.phases.size(), 1u);
  EXPECT_EQ(c.notes, std::vector<std::string>{
                         "the baseline ran on h, this run on elsewhere"});
}

TEST(Compare, ReadsTheRatesAndWorkloadOfEachFormat) {
  // Format 2: threads per rank, and no file-work rates but their parts.
  const std::string format2 = R"({"format_version": 2, "ranks": ["a", "b"],
    "settings": {"files": 10, "threads": 3, "file_size": 0, "direct_io": true,
                 "drop_caches": 0, "time_limit_seconds": null},
    "system": {"hostname": "a", "file_system": "xfs"}, "valid": true,
    "iterations": [
      {"phases": {"create": {"files": 10, "files_done": 8, "file_seconds": 2},
                  "size": {"files_done": 10, "file_seconds": 0}},
       "listing": {"wall_seconds": 0.5, "exit_status": 0}},
      {"phases": {"create": {"files": 10, "files_done": 10, "file_seconds": 1}},
       "listing": {"wall_seconds": 0.5, "exit_status": 2}}]})";
  StoredResult r;
  std::string error;
  // What is not a result is refused, and said why.
  for (auto [text, why] :
       {std::pair{R"({"format_version": 3, "settings": {)",
                  "not JSON, or cut short"},
        {R"({"format_version": 3, "iterations": []})",
         "not a treeflood result: no settings or iterations"},
        {R"({"format_version": 4})",
         "format_version 4 is not one this version reads (2 to 3)"}}) {
    EXPECT_FALSE(readResult(text, &r, &error));
    EXPECT_EQ(error, why);
  }
  ASSERT_TRUE(readResult(format2, &r, &error)) << error;
  EXPECT_EQ(r.rates[static_cast<int>(Phase::Create)],
            (std::vector<double>{4, 10}));
  EXPECT_EQ(r.rates[static_cast<int>(Phase::List)],
            (std::vector<double>{20, 0}));
  EXPECT_TRUE(r.rates[static_cast<int>(Phase::Size)].empty());
  StoredResult now = r;
  now.workload[1].second = "3";
  EXPECT_EQ(workloadDifferences(r, now),
            (std::vector<std::string>{
                "threads in total: 6 in the baseline, 3 here"}));
  // A result without the later keys ran what their defaults say.
  std::string later = format2;
  later.replace(later.find("\"drop_caches\""), 0,
                R"("fsync": "file", "directories": 2, "order": "random", )"
                R"("data": "random", )");
  ASSERT_TRUE(readResult(later, &now, &error)) << error;
  EXPECT_EQ(workloadDifferences(now, r),
            (std::vector<std::string>{
                R"(fsync: "file" in the baseline, "none" here)",
                "directories: 2 in the baseline, 1024 here",
                R"(order: "random" in the baseline, "sequential" here)",
                R"(data: "random" in the baseline, "zeros" here)"}));
}

}  // namespace treeflood
