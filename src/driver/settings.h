// The command line and the settings it yields.
#ifndef TREEFLOOD_DRIVER_SETTINGS_H_
#define TREEFLOOD_DRIVER_SETTINGS_H_

#include <fcntl.h>
#include <getopt.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "work/plan.h"

namespace treeflood {

// "V" and the version that the build names.
extern const char kVersion[];
// The compiler's stamps of when this program was built ("Sep 17 2010",
// "11:43:21").
extern const char kBuildDate[];
extern const char kBuildTime[];

// The options the command line accepts: "--name" and, where it has one,
// "-x" of each.
std::vector<std::string> optionNames();

// The longest --time-limit, in seconds: a year.
constexpr double kMaxTimeLimit = 31536000;

// The settings of a run. Written while the command line is read, read-only
// afterwards.
struct RunSettings {
  uint64_t nbFiles = 100000;
  uint64_t fileSize = kDefaultFileSize;  // bytes a file holds
  uint16_t threads = 1;
  // The directory to work in; none means the current directory.
  std::optional<std::string> workDir;
  // Write and read the files with O_DIRECT; -D turns it off.
  bool directIo = true;
  bool pause = false;
  bool dontDeleteFiles = false;
  // Print a table of rates and latencies after the run.
  bool summary = false;
  // Write the run's results as JSON to this file when it ends.
  std::optional<std::string> jsonPath;
  // Append a row per phase and iteration to this CSV file.
  std::optional<std::string> csvPath;
  // How many times the whole sequence runs, in the same directory.
  uint64_t iterations = 1;
  // With treeflood-mpi, the largest grant of file numbers; 0 for no bound.
  uint64_t batch = 0;
  // With treeflood-mpi, how long a rank may send nothing in a phase before
  // the job ends; none for the default.
  std::optional<double> stallTimeout;
  // Stop handing out file numbers to the create phase after this many
  // seconds; 0 for no limit.
  double timeLimit = 0;
  // How many times --drop-caches was given: once, the listing and the size
  // phase start with cold caches; twice, the delete phase too.
  int dropCaches = 0;
  // Compare the run with the --json result in this file.
  std::optional<std::string> comparePath;
  // Compare this stored result with the baseline instead of running; or,
  // without a baseline, the two sides of a side-by-side result.
  std::optional<std::string> storedPath;
  // A second working directory: the iterations alternate between the two
  // (A B B A A B ...), each side running `iterations` times, and the run
  // ends comparing the second side's rates with the first's.
  std::optional<std::string> againstDir;
  // The smallest change of a rate that counts, in %.
  std::optional<double> threshold;
  // The run's name in the JSON, the CSV and the plots.
  std::optional<std::string> label;
  // What makes the create phase durable.
  SyncMode sync = kSyncNone;
  // Read every file back and check its bytes, after the size phase.
  bool readBack = false;
  // How many directories hold the files: a power of two up to kMaxDirs.
  unsigned dirs = kDefaultDirs;
  // Visit each phase's files in a pseudo-random order of its own, which
  // `seed` fixes; none: one drawn when the run starts.
  bool randomOrder = false;
  // Fill the files with random bytes that `seed` fixes, each block stamped
  // with its file and offset, instead of zeros.
  bool randomData = false;
  std::optional<uint64_t> seed;
  // Remove the tree a killed run left, instead of running.
  bool cleanup = false;
  // Draw the live progress line (and erase it).
  bool progress = true;
  // The command line as given, argument 0 included.
  std::vector<std::string> commandLine;
};

// What the entry point does after the command line has been read.
struct ParseResult {
  bool run = false;    // Run the benchmark with the settings, or...
  int exitStatus = 0;  // ...end the process with this status.
};

// Reads the options of `argv` into `settings`, printing help, the version or
// the reason for a rejected count on standard output. Anything it does not
// understand (an unknown option, a missing argument, an operand, a count
// with more than digits) ends the process with status 1, diagnosed on
// standard error. Can be called more than once in a process.
ParseResult parseCommandLine(int argc, char** argv, RunSettings* settings);

// The names of the sync modes, by SyncMode: "none", "file", "phase"; of
// the orders, by RunSettings::randomOrder: "sequential", "random"; and of
// the data, by RunSettings::randomData: "zeros", "random".
extern const char* const kSyncNames[3];
extern const char* const kOrderNames[2];
extern const char* const kDataNames[2];

// The program's name: argument 0 after its last "/".
const char* programName(const char* argv0);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_SETTINGS_H_
