// One benchmark run: the working directory, the banner, then the create,
// listing, size and delete phases with their messages and times.
#ifndef TREEFLOOD_DRIVER_RUN_H_
#define TREEFLOOD_DRIVER_RUN_H_

#include <string>

#include "work/workers.h"

// Runs the benchmark with runSettings. Returns the exit status: 1 when the
// working directory can't be entered (nothing is created then) or when any
// file operation failed (every phase still runs), otherwise 0.
int runBenchmark();

// The warning line for a phase whose files failed, `verb` saying what could
// not be done to them ("created"); empty when none failed.
std::string failureText(const PhaseFailures& failures, uint64_t nbFiles,
                        const char* verb, int openFlags);

#endif  // TREEFLOOD_DRIVER_RUN_H_
