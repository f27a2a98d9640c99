// A run once prepared, and the phases of its iterations: one table of rows,
// each phase's start line, cold caches, pause, work, warnings and "Done" line,
// that an iteration's loop goes through.
#ifndef TREEFLOOD_DRIVER_PHASES_H_
#define TREEFLOOD_DRIVER_PHASES_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "driver/checks.h"
#include "driver/compare.h"
#include "driver/results.h"
#include "driver/settings.h"
#include "runner/command.h"
#include "work/owners.h"
#include "work/phase.h"

namespace treeflood {

// A run once prepared: the working directory, the output files, the plan the
// phases share, and what the writers say of the run.
struct Run {
  const RunSettings* settings = nullptr;
  PhaseRunner* runner = nullptr;
  Launcher launcher;
  RunContext context;
  std::string jsonPath, csvPath;  // absolute
  char lsPath[256] = "";          // empty when ls is not on PATH
  UniqueFd dropFd;  // the caches' switch, open for writing with --drop-caches
  WorkDir work;
  UniqueFd csvFd;
  DirectoryFds dirFds;
  // The file numbers the create phase refused, sorted; the plan's.
  std::vector<uint64_t> refused;
  uint64_t seed = 0;  // of the random order and the random data
  RandomData data;    // the plan's, under --data random
  PhasePlan plan;
  StoredResult baseline;  // with --compare
  // Where a stop signal or a stalled rank cut the run short, said last.
  const char* stoppedIn = nullptr;
  uint64_t stoppedAfter = 0, stoppedOf = 0;
  int stalledRank = -1;
};

// The plan every process of a run starts from, with the settings' layout,
// direct I/O, file size, threads and sync of each file; the run adds its
// directories, its stop and each phase's count and order.
PhasePlan runPlan(const RunSettings& settings);

// The order of `phase` over `files` of the settings' files: the order drawn,
// or with --order random, its own for `seed`.
FileOrder phaseOrder(const RunSettings& settings, uint64_t seed, Phase phase,
                     uint64_t files);

// Runs the phases of one iteration into `r`; the files and directories stay
// when `keep`. Returns 0, or the exit status when the run ends: 128 + the
// signal after a stop, or 1 after a rank stalled, having removed the tree
// unless the files are to be kept (run->stoppedIn says where); or 1 when the
// create phase met too many names it may not touch.
int runIteration(Run* run, RunResults* r, bool keep);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_PHASES_H_
