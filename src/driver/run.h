// One benchmark run: the working directory, the banner, then the create,
// listing, size and delete phases with their messages and times, as many
// times as the run asks.
#ifndef TREEFLOOD_DRIVER_RUN_H_
#define TREEFLOOD_DRIVER_RUN_H_

#include <stdint.h>

#include <atomic>
#include <string>

#include "driver/settings.h"
#include "runner/command.h"
#include "work/phase.h"

namespace treeflood {

// Set by the first SIGINT, SIGTERM or SIGHUP once installStopHandlers has
// run, or by requestStop: the phases stop drawing file numbers, and the run
// cleans up and ends with 128 + stopSignal().
extern std::atomic<bool> stopRequested;

// The signal that asked for the stop, or 0, and the rank that received it
// (0 for this process's own).
int stopSignal();
int stopRank();

// Makes SIGINT, SIGTERM and SIGHUP ask for a stop, the second one that this
// process receives itself ending it at once by that signal, and ignores
// SIGPIPE and SIGXFSZ: output is best effort, and EFBIG counts as a file's
// failure.
void installStopHandlers();

// Asks the run to stop as `signal` would, for a signal that the process of
// `rank` received: one stop, whichever rank hears it first, and never a
// second signal of this process's own. Safe from any thread.
void requestStop(int signal, int rank);

// The exit status that says more of `a` and `b`: an interrupt (128 + the
// signal), then a failure (1), then a regression (2), then success (0).
int worstStatus(int a, int b);

// Runs the benchmark, its file phases through `runner`. Returns the exit
// status: 0 when everything the run was asked to do succeeded; 1 when
// nothing could be started (the working directory can't be entered, another
// run holds it, direct I/O can't work there) or when some operation of any
// iteration failed (every phase still runs); 128 + the signal when SIGINT,
// SIGTERM or SIGHUP cut it short, after removing, on this process alone,
// what it made unless the files are to be kept. The process's working
// directory stays as it was. `launcher` starts ls, which is forked when it
// has no socket.
int runBenchmark(const RunSettings& settings, PhaseRunner* runner,
                 const Launcher& launcher = Launcher());

// The warning line for `failures` among `total` files, or among the
// layout's directories unless `files`; `verb` says what could not be done to
// them ("created"). Empty when none failed.
std::string failureText(const PhaseFailures& failures, uint64_t total,
                        const TreeLayout& layout, bool files, const char* verb,
                        int openFlags);

// What removeLeftovers did in `workDir`: a line of what it removed, then a
// warning that names the first entries that stay, each with its reason.
std::string leftoverText(const LeftoverTally& tally,
                         const std::string& workDir);

// Raises the soft limit of open files to what `dirs` directories need
// beside the rest; false after saying why not, when the hard limit is lower.
bool raiseDescriptorLimit(unsigned dirs);

// The plan every process of a run starts from, with the settings' layout,
// flags, file size, threads and sync of each file; the run adds its
// directories, its stop and each phase's count and order.
PhasePlan runPlan(const RunSettings& settings);

// The order of `phase` over `files` of the settings' files:
// the order drawn, or with --order random, its own for `seed`.
FileOrder phaseOrder(const RunSettings& settings, uint64_t seed, Phase phase,
                     uint64_t files);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_RUN_H_
