// One benchmark run: the working directory, the banner, then the create,
// listing, size and delete phases with their messages and times.
#ifndef TREEFLOOD_DRIVER_RUN_H_
#define TREEFLOOD_DRIVER_RUN_H_

#include <string>

#include "driver/settings.h"
#include "work/workers.h"

// Runs the benchmark. Returns the exit status: 0 when everything the run was
// asked to do succeeded; 1 when nothing could be started (the working
// directory can't be entered, another run holds it, direct I/O can't work
// there) or when some operation failed (every phase still runs); 128 + the
// signal when SIGINT, SIGTERM or SIGHUP cut it short, after removing what
// it made unless the files are to be kept.
int runBenchmark(const RunSettings& settings);

// The warning line for `failures` among `total` files, or among the
// directories when `layout` is null; `verb` says what could not be done to
// them ("created"). Empty when none failed.
std::string failureText(const PhaseFailures& failures, uint64_t total,
                        const TreeLayout* layout, const char* verb,
                        int openFlags);

#endif  // TREEFLOOD_DRIVER_RUN_H_
