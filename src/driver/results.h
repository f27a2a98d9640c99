// What a run measured, kept for the summary table and the JSON document.
#ifndef TREEFLOOD_DRIVER_RESULTS_H_
#define TREEFLOOD_DRIVER_RESULTS_H_

#include <stdint.h>

#include <istream>
#include <string>

#include "driver/settings.h"
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
  bool stoppedByTimeLimit = false;  // the create phase made fewer files
  int64_t fileBlocks = 0;           // 512-byte blocks
  int64_t dirBlocks = 0;
  // The directories that could not be made or opened, and removed.
  PhaseFailures dirsMade;
  PhaseFailures dirsRemoved;
};

// The machine and the file system that holds the current directory.
struct SystemInfo {
  std::string kernel;      // uname's release
  std::string fileSystem;  // type as mounted ("ext4"), or statfs's magic
  int64_t blockSize = 0;   // statfs's f_bsize
  long cpus = 0;           // processors online
};

// The type of the file system mounted deepest above the absolute path `dir`,
// read from `mountinfo` in the form of /proc/self/mountinfo; empty if none.
std::string mountedType(std::istream& mountinfo, const std::string& dir);

// Reads SystemInfo for the current directory.
SystemInfo systemInfo();

// Whether the run did all it was asked: every file and directory operation
// succeeded, every phase ran on all `threads`, and the listing exited 0.
bool runValid(const RunResults& results, unsigned threads);

// The summary table: one row per phase that ran, with files done and
// failed, seconds, files per second (successful files only) and latency
// percentiles in microseconds; columns aligned, ending in a newline.
std::string summaryText(const RunResults& results);

// The JSON document of the run; `workDir` is the absolute working directory.
// Always valid JSON: bytes that are not UTF-8 are replaced.
std::string jsonText(const RunResults& results, const RunSettings& settings,
                     const std::string& workDir, const SystemInfo& system);

#endif  // TREEFLOOD_DRIVER_RESULTS_H_
