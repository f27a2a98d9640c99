// One benchmark run: the checks, the banner, then the create, listing, size,
// read and delete phases with their messages and times, as many times as the
// run asks, and the results.
#ifndef TREEFLOOD_DRIVER_RUN_H_
#define TREEFLOOD_DRIVER_RUN_H_

#include "driver/settings.h"
#include "runner/command.h"
#include "work/phase.h"

namespace treeflood {

// The exit status that says more of `a` and `b`: an interrupt (128 + the
// signal), then a failure (1), then a regression (2), then success (0).
int worstStatus(int a, int b);

// Runs the benchmark, its file phases through `runner`. Returns the exit
// status: 0 when everything the run was asked to do succeeded; 1 when
// nothing could be started (the working directory can't be entered, another
// run holds it, direct I/O can't work there) or when some operation of any
// iteration failed (every phase still runs); 128 + the signal when a stop
// signal cut it short, after removing what it made, through `runner` as in
// a delete phase, unless the files are to be kept. The process's working
// directory stays as it was. `launcher` starts ls, which is forked when it
// has no socket.
int runBenchmark(const RunSettings& settings, PhaseRunner* runner,
                 const Launcher& launcher = Launcher());

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_RUN_H_
