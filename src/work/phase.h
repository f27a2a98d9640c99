// Runs one phase's worker routine on several threads beside a progress
// reporter that keeps a console line up to date.
#ifndef TREEFLOOD_WORK_PHASE_H_
#define TREEFLOOD_WORK_PHASE_H_

#include <pthread.h>

#include "work/workers.h"

// How runPhase starts its threads: pthread_create, or a stand-in with the
// same contract that lets tests see a phase whose threads fail to start.
using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*,
                              void* (*)(void*), void*);
extern ThreadStarter startThread;

// What a phase found of its files, over all its threads.
struct PhaseStats {
  PhaseFailures failures;
  // In ticks of latencyTicks; empty unless the files were timed.
  LatencyHistogram latency;
  double nsPerTick = 1;
  // From the start of the first worker to the return of the last.
  double fileSeconds = 0;
};

// Resets the work counter and runs `worker` on the calling thread and
// `threads` - 1 more (1 to 64 in all), with the progress reporter beside
// them. Returns when every worker has returned, the reporter has stopped and
// its line is erased, with what the threads found in `stats`, latencies
// included when `timeFiles`. If some threads can't be started, one line
// says so and the phase goes on without them.
void runPhase(WorkerRoutine worker, unsigned threads, bool timeFiles,
              PhaseStats* stats);

// The reporter thread's routine: after 2 s, redraws the live progress line
// every 250 ms until runPhase stops it, and writes a dated line whenever the
// phase has run a multiple of 16384 s.
void* progressReporter(void*);

#endif  // TREEFLOOD_WORK_PHASE_H_
