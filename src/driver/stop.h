// How a run is asked to stop: its signals, and a stop passed on from another
// rank.
#ifndef TREEFLOOD_DRIVER_STOP_H_
#define TREEFLOOD_DRIVER_STOP_H_

#include <atomic>

namespace treeflood {

// Set by the first SIGINT, SIGTERM, SIGHUP, SIGUSR1 or SIGUSR2 once
// installStopHandlers has run, or by requestStop: the phases stop drawing
// file numbers, ls is stopped, and the run cleans up and ends with 128 +
// stopSignal().
extern std::atomic<bool> stopRequested;

// The signal that asked for the stop, or 0, and the rank that received it
// (0 for this process's own).
int stopSignal();
int stopRank();

// Makes SIGINT, SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 ask for a stop; after
// the first one this process receives itself, a SIGINT ends it at once by
// that signal and the others are ignored, so that the clean-up goes on.
// Ignores SIGPIPE and SIGXFSZ: output is best effort, and EFBIG counts as a
// file's failure.
void installStopHandlers();

// Asks the run to stop as `signal` would, for a signal that the process of
// `rank` received: one stop, whichever rank hears it first, and never a
// second signal of this process's own. Safe from any thread.
void requestStop(int signal, int rank);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_STOP_H_
