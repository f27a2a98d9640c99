// Whether a run is slower or faster than an earlier one beyond noise: the
// figures a comparison reads from a stored JSON result, and its verdicts.
#ifndef TREEFLOOD_DRIVER_COMPARE_H_
#define TREEFLOOD_DRIVER_COMPARE_H_

#include <string>
#include <utility>
#include <vector>

#include "driver/results.h"

namespace treeflood {

// The JSON format this version writes; it reads 2 up to this one.
const int kFormatVersion = 3;

// What a comparison takes from a stored result.
struct StoredResult {
  // The settings two results must share, as names and JSON texts: files,
  // threads in total, file size, direct I/O, caches, time limit, sync mode,
  // directories and order.
  std::vector<std::pair<std::string, std::string>> workload;
  std::string host, fileSystem, label;
  bool valid = false;
  // Each iteration's files per second over the file work, by phase.
  std::vector<double> rates[kNbPhases];
  std::vector<std::string> warnings;
};

// Reads a result from the text of a --json file of format 2 or later. On
// failure returns false with the reason in `error` ("not JSON, or cut
// short").
bool readResult(const std::string& text, StoredResult* result,
                std::string* error);

// What a comparison takes from a run's `iterations`, without its JSON: the
// same as readResult would read from that JSON, to its rounding.
StoredResult resultOf(const std::vector<RunResults>& iterations,
                      const RunContext& run);

// Reads the regular file at `path`, never blocking on what stands there, and
// its result; on failure returns false with the reason in `error`.
bool loadResult(const std::string& path, StoredResult* result,
                std::string* error);

// The workload settings in which `now` differs from `baseline`, one text
// each: "files: 2000 in the baseline, 1000 here".
std::vector<std::string> workloadDifferences(const StoredResult& baseline,
                                             const StoredResult& now);

// One phase compared: files per second over the file work on each side, the
// change of the means in % of the baseline's, with the 95% confidence
// interval of Welch's t-test (NaN where a side has one iteration).
struct PhaseComparison {
  Phase phase = Phase::Create;
  RateSpread baseline, now;
  double change = 0, low = 0, high = 0;
  double pValue = 0;  // two-sided; NaN where a side has one iteration
  const char* verdict = "";
  bool regressed = false;
};

struct Comparison {
  double threshold = 5;                 // %
  std::vector<PhaseComparison> phases;  // those both results have
  // Sentences on what differs beside the workload: the host, the file system.
  std::vector<std::string> notes;
  bool regressed = false;  // in any phase
};

// Compares `now` with `baseline` phase by phase. A phase regressed when it is
// slower by more than `threshold` % and, where both sides have two
// iterations or more, Welch's test finds the change significant at 5%.
Comparison compareResults(const StoredResult& baseline, const StoredResult& now,
                          double threshold);

// The comparison as a table titled with `baselineName`, then its notes; each
// line ends in a newline.
std::string comparisonText(const Comparison& comparison,
                           const std::string& baselineName);

// Compares the stored result at `resultPath` with the one at `baselinePath`
// without running anything, printing what a run's comparison prints and the
// result's warnings. Returns 2 when a phase regressed, 1 when a file can't be
// compared, else 0.
int compareStored(const std::string& baselinePath,
                  const std::string& resultPath, double threshold);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_COMPARE_H_
