// What a run measured, kept for the summary table and the JSON document.
#ifndef TREEFLOOD_DRIVER_RESULTS_H_
#define TREEFLOOD_DRIVER_RESULTS_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "driver/settings.h"
#include "driver/system.h"
#include "runner/command.h"
#include "work/phase.h"

// The file phases, in the order they run.
const int kNbPhases = 3;
extern const char* const kPhaseNames[kNbPhases];  // "create", "size", "delete"

struct PhaseResult {
  bool ran = false;
  uint64_t files = 0;      // the file numbers it worked on
  bool cold = false;       // started after the caches were dropped
  std::string startedAt;   // local time, ISO 8601 with offset
  double wallSeconds = 0;  // as in the phase's "Done" line
  PhaseStats stats;
};

struct RunResults {
  PhaseResult phases[kNbPhases];
  CommandResult listing;
  bool listingCold = false;
  std::string listingStartedAt;
  double listingSeconds = 0;
  bool stoppedByTimeLimit = false;  // the create phase made fewer files
  int64_t fileBlocks = 0;           // 512-byte blocks
  int64_t dirBlocks = 0;
  // The directories that could not be made or opened, and removed, and the
  // seconds that took (within the create and the delete phase's).
  PhaseFailures dirsMade;
  PhaseFailures dirsRemoved;
  double dirMakeSeconds = 0;
  double dirRemoveSeconds = 0;
};

// How a phase's files per second spread over the iterations it ran in; the
// standard deviation is the sample's (0 for one iteration).
struct RateSpread {
  unsigned count = 0;
  double mean = 0, min = 0, max = 0, stddev = 0;
};
RateSpread rateSpread(const std::vector<RunResults>& iterations, int phase);

// Whether the run did all it was asked: every file and directory operation
// succeeded, every phase ran on all `threads`, and the listing exited 0.
bool runValid(const RunResults& results, unsigned threads);

// The summary table: one row per phase that ran, with files done and
// failed, seconds, files per second (successful files only) and latency
// percentiles in microseconds; then the seconds the directories took. Over
// several iterations, files and seconds add up, files/s is the mean of the
// iterations' rates, beside their minimum, maximum and standard deviation,
// and the percentiles are those of all the iterations' files together.
// Where several processes ran the phases, on `hosts` by rank, a second table
// gives each one's files and seconds per phase. Columns are aligned; ends in
// a newline.
std::string summaryText(const std::vector<RunResults>& iterations,
                        const std::vector<std::string>& hosts = {});

// The JSON document of the run: every iteration's figures and, over them,
// those of the summary. `workDir` is the absolute working directory, and
// `system` what it was before the run. Always valid JSON: bytes that are not
// UTF-8 are replaced.
std::string jsonText(const std::vector<RunResults>& iterations,
                     const RunSettings& settings, const std::string& workDir,
                     const SystemInfo& system);

// The CSV header line, and the rows of iteration number `iteration` (from
// 1): one per phase that ran, in order, the listing included.
extern const char kCsvHeader[];
std::string csvRows(const RunResults& results, uint64_t iteration,
                    const RunSettings& settings, const std::string& workDir,
                    const SystemInfo& system);

#endif  // TREEFLOOD_DRIVER_RESULTS_H_
