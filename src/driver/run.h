// One benchmark run: the working directory, the banner, then the create,
// listing, size and delete phases with their messages and times.
#ifndef TREEFLOOD_DRIVER_RUN_H_
#define TREEFLOOD_DRIVER_RUN_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "driver/settings.h"
#include "work/phase.h"

// The file phases a cluster runs on every process.
enum PhaseKind : uint8_t { kCreatePhase, kSizePhase, kDeletePhase };

// The worker routine of each PhaseKind.
extern const WorkerRoutine kPhaseWorkers[3];

// How a run spreads its file phases over several processes (treeflood-mpi).
// This process, rank 0, runs the sequence as usual; the others work on the
// same files in the same directory, drawing from one global source.
struct Cluster {
  // The source every thread of every process draws from; reset by runPhase.
  FileNumberSource* numbers = nullptr;
  unsigned threads = 0;  // of all processes
  std::string hostname;  // this process's
  // Names the processes and their hosts: "on 4 ranks: node1 (2), node2 (2)".
  std::string ranksLine;
  std::vector<std::string> hosts;  // by rank
  // Runs a phase of `kind` on every process, framed by their agreement that
  // it starts and that all have ended; `stats` are all of theirs together,
  // latencies in nanoseconds, with each process's share in stats->ranks.
  void (*runPhase)(void* context, PhaseKind kind, const PhasePlan& plan,
                   uint64_t startNs, PhaseStats* stats) = nullptr;
  void* context = nullptr;
};

// Asks the run to stop as SIGINT, SIGTERM or SIGHUP would, for a signal that
// another process received. Safe from any thread.
void requestStop(int signal);

// Runs the benchmark. Returns the exit status: 0 when everything the run was
// asked to do succeeded; 1 when nothing could be started (the working
// directory can't be entered, another run holds it, direct I/O can't work
// there) or when some operation failed (every phase still runs); 128 + the
// signal when SIGINT, SIGTERM or SIGHUP cut it short, after removing what
// it made unless the files are to be kept. With a `cluster`, the file phases
// run on all its processes, and the clean-up after a signal on this one.
int runBenchmark(const RunSettings& settings, const Cluster* cluster = nullptr);

// The warning line for `failures` among `total` files, or among the
// directories when `layout` is null; `verb` says what could not be done to
// them ("created"). Empty when none failed.
std::string failureText(const PhaseFailures& failures, uint64_t total,
                        const TreeLayout* layout, const char* verb,
                        int openFlags);

#endif  // TREEFLOOD_DRIVER_RUN_H_
