// Runs one phase's worker routine on several threads beside a progress
// reporter that keeps a console line up to date.
#ifndef TREEFLOOD_WORK_PHASE_H_
#define TREEFLOOD_WORK_PHASE_H_

#include <functional>
#include <string>
#include <vector>

#include "work/workers.h"

namespace treeflood {

// How far a phase had got: the files handed out by `seconds` after its start.
struct TimelineSample {
  double seconds;
  uint64_t files;
};

// A phase's progress, sampled at each of the reporter's 250 ms wakes. Past
// kTimelineSamples, every other sample is dropped (neighbouring intervals
// merge) and from then on only every other wake is kept, so that a day-long
// phase still fits in 64 KB.
const size_t kTimelineSamples = 4096;
struct Timeline {
  std::vector<TimelineSample> samples;  // reserved up front: no allocation
  uint64_t wakes = 0;
  uint64_t stride = 1;  // keep the wakes that are multiples of it
};

// Records the sample of one wake into `timeline`.
void recordSample(Timeline* timeline, TimelineSample sample);

// One process's part of a phase that several ran together.
struct RankShare {
  uint64_t files = 0;   // the file numbers it worked on
  uint64_t failed = 0;  // of which failed
  double seconds = 0;   // from its start on the phase to its last file
};

// What a phase found of its files, over all its threads.
struct PhaseStats {
  PhaseFailures failures;
  PhaseFailures differs;  // files read back that differ; among the failures
  int64_t blocks = 0;     // st_blocks of the files measured
  // In ticks of latencyTicks; empty unless the plan times files.
  LatencyHistogram latency;
  double nsPerTick = 1;
  // From the start of the first worker to the return of the last, and the
  // plan's syncfs after them.
  double fileSeconds = 0;
  double syncSeconds = 0;  // of them, the plan's syncfs
  int syncError = 0;       // the errno of a syncfs that failed
  // Numbers handed out; past the count once every worker has drawn its last.
  uint64_t handedOut = 0;
  unsigned threadsRun = 0;  // the calling thread and those that started
  bool timeUp = false;      // the plan's deadline ended it
  // Create: the numbers refused (see createWorker), sorted; and whether
  // the plan's maxRefused stopped the phase.
  std::vector<uint64_t> refused;
  bool tooManyRefused = false;
  std::vector<TimelineSample> timeline;
  // Of each process, by rank, when several ran the phase; else empty.
  std::vector<RankShare> ranks;
  // What the runner saw go wrong beside the files (a rank that fell silent),
  // each as a warning's text.
  std::vector<std::string> warnings;
  // The process that stopped working past the runner's limit, which ended
  // the phase and must end the run (the runner has said so), or -1.
  int stalledRank = -1;
};

// Runs `worker` on the calling thread and plan.threads - 1 more, drawing from
// plan.numbers, which the caller has reset; beside them the progress reporter
// measures the phase from monotonicNs reading `startNs` and samples its
// timeline. Once the workers are done, calls syncfs on plan.syncFd if it
// is 0 or more. Returns when every worker has returned, the reporter has
// stopped and its line is erased. If some threads or the reporter can't be
// started, a warning says so and the phase goes on without them.
void runPhase(const PhasePlan& plan, WorkerRoutine worker, uint64_t startNs,
              PhaseStats* stats);

// Who runs a run's phases.
struct Topology {
  unsigned threads = 1;  // of every process together
  // Each process's host, by rank, where several processes run the phases;
  // empty for one.
  std::vector<std::string> hosts;
};

// Runs one phase of `kind` over the plan's files and fills `stats`, drawing
// its numbers from a source of its own that it resets first. The local runner
// uses threads of this process; the cluster runner spreads the same numbers
// over ranks and gives each one's share in stats->ranks. Once a phase has
// ended with a stalled process, the runner runs a delete phase (the run's
// clean-up) on this process alone.
struct PhaseRunner {
  virtual Topology topology() const = 0;
  virtual void run(Phase phase, const PhasePlan& plan, uint64_t startNs,
                   PhaseStats* stats) = 0;
  // Says that `phase`'s turn has come (its set-up and cold caches before its
  // work), and whether this process is about to stop itself until a
  // SIGCONT, which the cluster runner tells the other ranks before it does.
  virtual void announce(Phase, bool /*pausing*/) {}
  // Drops the caches of every node the phases run on, this one's by
  // `dropHere`, and returns whether every drop worked. Returns once all are
  // done.
  virtual bool dropCaches(const std::function<bool()>& dropHere) {
    return dropHere();
  }

 protected:
  ~PhaseRunner() = default;
};

// plan.threads threads of this process, on one shared counter.
struct LocalRunner final : PhaseRunner {
  explicit LocalRunner(unsigned threadCount) : threads(threadCount) {}
  Topology topology() const override;
  void run(Phase phase, const PhasePlan& plan, uint64_t startNs,
           PhaseStats* stats) override;
  unsigned threads;
  SharedCounter counter;
};

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_PHASE_H_
