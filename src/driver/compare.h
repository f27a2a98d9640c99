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

// The deepest nesting and the largest size of a JSON result read: a deeper
// or larger file is refused before it is parsed.
const size_t kMaxDepth = 64;
const size_t kMaxResultBytes = size_t{64} << 20;

// What a comparison takes from a stored result.
struct StoredResult {
  // The settings two results must share, as names and JSON texts: files,
  // file size, direct I/O, caches, time limit, sync mode, directories,
  // order, data and the read phase.
  std::vector<std::pair<std::string, std::string>> workload;
  std::string threads;  // in total, which may differ
  std::string host, fileSystem, mountOptions, label;
  std::string workDir;  // the working directory, as the result names it
  bool valid = false;
  std::string interrupted;   // "by SIGINT", "by a stalled rank", or empty
  uint64_t failedFiles = 0;  // operations on files that failed
  size_t iterations = 0;     // finished ones
  // Each iteration's files per second over the file work, by phase, and the
  // CPUs other processes used meanwhile where the result says.
  std::vector<double> rates[kNbPhases];
  std::vector<double> otherCpus[kNbPhases];
  std::vector<std::string> warnings;
};

// Reads a result from the text of a --json file of format 2 or later. On
// failure returns false with the reason in `error` ("not JSON, or cut
// short"), which names a phase whose figures can't be rates: files done
// not above 0, seconds under 1 ns, not finite, over 1e9 files a second. A
// side-by-side result (of a run with --against) is refused: it holds two.
bool readResult(const std::string& text, StoredResult* result,
                std::string* error);

// Reads the two sides of a side-by-side result, A and B, each as readResult
// reads a result; on failure returns false with the reason in `error`.
bool readSides(const std::string& text, StoredResult sides[2],
               std::string* error);

// What a comparison takes from a run's `iterations`, without its JSON: the
// same as readResult would read from that JSON, to its rounding.
StoredResult resultOf(const std::vector<RunResults>& iterations,
                      const RunContext& run);

// Why `result` can't be compared, or "": interrupted, failed operations,
// otherwise not valid, no finished iteration.
std::string unusableReason(const StoredResult& result);

// The phases in which `baseline` differs from a result that ran those of
// `ran`, one text each: "the baseline has no read phase, the other has".
std::vector<std::string> phaseDifferences(const StoredResult& baseline,
                                          const bool ran[kNbPhases]);

// Reads the regular file at `path`, never blocking on what stands there nor
// reading past kMaxResultBytes, and its result; on failure returns false with
// the reason in `error`.
bool loadResult(const std::string& path, StoredResult* result,
                std::string* error);

// The same for the two sides of the side-by-side result at `path`.
bool loadSides(const std::string& path, StoredResult sides[2],
               std::string* error);

// The workload settings in which `now` differs from `baseline`, one text
// each: "files: 2000 in the baseline, 1000 here".
std::vector<std::string> workloadDifferences(const StoredResult& baseline,
                                             const StoredResult& now);

// One phase compared: files per second over the file work on each side, the
// change of the means in % of the baseline's, with the confidence interval
// of the ratio of the means, in the same terms (NaN where a side has one
// iteration; never below -100%).
struct PhaseComparison {
  Phase phase = Phase::Create;
  RateSpread baseline, now;
  double change = 0, low = 0, high = 0;
  bool unbounded = false;  // the interval has no ends: a mean of 0
  double pValue = 0;       // two-sided; NaN where a side has one iteration
  const char* verdict = "";
  bool regressed = false;
};

struct Comparison {
  double threshold = 5;  // %
  // Each phase's interval's confidence: 95% for all the phases together.
  double confidence = 0.95;
  std::vector<PhaseComparison> phases;  // those both results have
  // Sentences on what differs beside the workload: the host, the file
  // system, its mount options; and the threads when they differ.
  std::vector<std::string> notes;
  std::string threads;
  bool regressed = false;  // in any phase
};

// Compares `now` with `baseline` phase by phase, each interval at 1 - 5% /
// the phases compared, so that all hold together at 95%. Verdicts: "slower" or
// "faster" when the interval leaves out no change and the change is beyond
// `threshold` %, "within threshold" when it is not, "no significant change"
// when the interval holds no change or is unbounded; with one iteration on a
// side, "slower (one iteration)", "faster (one iteration)" or "within
// threshold (one iteration)" by the threshold alone. A phase regressed when
// it is "slower", with one iteration or more.
Comparison compareResults(const StoredResult& baseline, const StoredResult& now,
                          double threshold);

// Compares side B of a side-by-side run with side A, as compareResults
// does, but with no notes: the two sides ran on the same host at the same
// time, and differ in their directories on purpose.
Comparison compareSides(const StoredResult& a, const StoredResult& b,
                        double threshold);

// The comparison's notes as warnings, then a table whose title begins with
// `title` ("Compared with base.json"); its columns name the sides "baseline"
// and "this run", or with `sides`, "A" and "B". Each line ends in a newline.
std::string comparisonText(const Comparison& comparison,
                           const std::string& title, bool sides = false);

// The title of a side-by-side comparison: "B (/mnt/xfs) compared with A
// (/tmp/a)".
std::string sidesTitle(const std::string& dirA, const std::string& dirB);

// Compares the stored result at `resultPath` with the one at `baselinePath`
// without running anything, printing what a run's comparison prints and the
// result's warnings; with an empty `baselinePath`, compares the two sides of
// the side-by-side result at `resultPath` so. Returns 2 when a phase
// regressed, 1 when a file can't be compared (unusable, other workloads,
// other phases), else 0.
int compareStored(const std::string& baselinePath,
                  const std::string& resultPath, double threshold);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_COMPARE_H_
