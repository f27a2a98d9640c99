// Runs one phase's worker routine on several threads beside a progress
// reporter that keeps a console line up to date.
#ifndef TREEFLOOD_WORK_PHASE_H_
#define TREEFLOOD_WORK_PHASE_H_

#include "work/workers.h"

// What a phase found of its files, over all its threads.
struct PhaseStats {
  PhaseFailures failures;
  int64_t blocks = 0;  // st_blocks of the files measured
  // In ticks of latencyTicks; empty unless the plan times files.
  LatencyHistogram latency;
  double nsPerTick = 1;
  // From the start of the first worker to the return of the last.
  double fileSeconds = 0;
  // Numbers handed out; past the count once every worker has drawn its last.
  uint64_t handedOut = 0;
  unsigned threadsRun = 0;  // the calling thread and those that started
};

// Resets the plan's number source and runs `worker` on the calling thread
// and plan.threads - 1 more, with the progress reporter beside them; the
// reporter measures the phase from monotonicNs reading `startNs`. Returns
// when every worker has returned, the reporter has stopped and its line is
// erased. If some threads can't be started, one line says so and the phase
// goes on without them.
void runPhase(const PhasePlan& plan, WorkerRoutine worker, uint64_t startNs,
              PhaseStats* stats);

#endif  // TREEFLOOD_WORK_PHASE_H_
