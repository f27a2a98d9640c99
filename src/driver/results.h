// What a run measured, and the statistics the summary, the JSON document and
// the CSV rows share.
#ifndef TREEFLOOD_DRIVER_RESULTS_H_
#define TREEFLOOD_DRIVER_RESULTS_H_

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/load.h"
#include "driver/settings.h"
#include "driver/system.h"
#include "runner/command.h"
#include "work/phase.h"

namespace treeflood {

struct Comparison;

struct PhaseResult {
  bool ran = false;
  uint64_t files = 0;      // the file numbers it worked on
  bool cold = false;       // started after the caches were dropped
  std::string startedAt;   // local time, ISO 8601 with offset
  double wallSeconds = 0;  // as in the phase's "Done" line
  // The listing's: what its ls did, which the listing's figures follow: it
  // went over every file the create phase began, or, when ls failed, none.
  // Set also when ls could not be started, and the phase did not run.
  std::optional<CommandResult> command;
  PhaseStats stats;
  HostLoad host;  // what else the host did meanwhile, and this process
};

struct RunResults {
  PhaseResult phases[kNbPhases];
  PhaseResult& operator[](Phase p) { return phases[static_cast<int>(p)]; }
  const PhaseResult& operator[](Phase p) const {
    return phases[static_cast<int>(p)];
  }
  bool stoppedByTimeLimit = false;  // the create phase made fewer files
  int64_t fileBlocks = 0;           // 512-byte blocks
  int64_t dirBlocks = 0;
  // The directories that could not be made or opened, and removed, and the
  // seconds that took (within the create and the delete phase's).
  PhaseFailures dirsMade;
  PhaseFailures dirsRemoved;
  double dirMakeSeconds = 0;
  double dirRemoveSeconds = 0;
  // What the file system's statfs counted in use, after a syncfs before the
  // delete phase, beyond before the create phase: the tree's bytes and
  // inodes, metadata included; inodes unless the file system counts none.
  bool spaceMeasured = false;
  int64_t bytesUsed = 0;
  int64_t inodesUsed = 0;
  bool inodesCounted = true;
};

// The files of `phase` whose operation succeeded, and their number per
// second of the phase's wall time.
uint64_t filesDone(const PhaseResult& phase);
double filesPerSecond(const PhaseResult& phase);

// The files a phase began out of the `handed` numbers it handed out: those,
// or where several processes ran it, the sum of what each began, which
// leaves out the rest of the grants they held when a stop came.
uint64_t filesBegun(const PhaseStats& stats, uint64_t handed);

// Each iteration's files per second in `phase`, where it ran and took time:
// of the files done over its wall time, or, when `work`, over the files'
// own work (fileSeconds: the directories' time left out). The listing's file
// work is its wall time.
std::vector<double> iterationRates(const std::vector<RunResults>& iterations,
                                   Phase phase, bool work);

// How rates spread; the standard deviation is the sample's (0 for one).
struct RateSpread {
  unsigned count = 0;
  double mean = 0, min = 0, max = 0, stddev = 0;
};
RateSpread rateSpread(const std::vector<double>& rates);

// What makes a run's figures hard to trust, one sentence each: a file phase
// under a second of work, a phase during which other processes kept more
// than kBusyCpus busy on average, rates that vary by more than 10% over
// iterations,
// more threads on this host (`threadsHere`) than its `cpus`, and a phase in
// which no number was handed out for over a second before its end. A busy
// host's warning advises a side-by-side run unless `sideBySide`.
std::vector<std::string> runWarnings(const std::vector<RunResults>& iterations,
                                     unsigned threadsHere, long cpus,
                                     bool sideBySide = false);

// Whether the run did all it was asked: every file and directory operation
// and the create phase's syncfs succeeded, every file read back was as
// written, every phase ran on all `threads`, and the listing exited 0.
bool runValid(const RunResults& results, unsigned threads);

// The latency percentiles the summary and the JSON give.
struct Percentile {
  const char* label;  // in the table
  const char* key;    // in JSON
  double value;       // 0 for the minimum, 100 for the maximum
};
const Percentile kPercentiles[] = {
    {"min", "min", 0},  {"p50", "p50", 50},       {"p90", "p90", 90},
    {"p99", "p99", 99}, {"p99.9", "p99_9", 99.9}, {"max", "max", 100},
};

// A phase's latencies over several iterations. The tick's length may differ
// a little between phases: the merged histogram takes their mean, weighted by
// the files each timed.
struct MergedLatency {
  LatencyHistogram ticks;
  double nsPerTick = 1;
};
std::unique_ptr<MergedLatency> mergedLatency(
    const std::vector<RunResults>& iterations, Phase phase);

// The value at `percentile` of `ticks`, `nsPerTick` each, in microseconds.
double latencyMicros(const LatencyHistogram& ticks, double nsPerTick,
                     double percentile);

// A stop signal or a stalled rank that cut the run short: which, and in which
// iteration (from 1). The iterations before it are the run's figures.
struct Interruption {
  int signal = 0;  // 0 when no signal stopped the run
  uint64_t iteration = 0;
  int stalledRank = -1;  // the rank that stalled, or -1
  bool happened() const { return signal != 0 || stalledRank >= 0; }
};

// What the writers say of a run beside its figures.
struct RunContext {
  const RunSettings* settings = nullptr;
  TreeLayout layout;    // of the run's files
  std::string workDir;  // absolute
  SystemInfo system;    // as it was before the run
  Topology topology;
  Interruption interruption;
  uint64_t seed = 0;  // of the random order and the random data
  // "A" or "B" in a side-by-side run (--against), else null.
  const char* side = nullptr;
  // The comparison with a baseline, when there is one, and its file.
  const Comparison* comparison = nullptr;
  std::string baselinePath;
};

// The threads of a run that shared this host's CPUs: this process's, times
// the ranks on rank 0's host where several processes ran.
unsigned threadsHere(const RunContext& run);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_RESULTS_H_
