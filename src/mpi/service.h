// Rank 0's side of treeflood-mpi: the phase runner that spreads a phase's
// numbers over every rank, and the service thread that hands them out.
#ifndef TREEFLOOD_MPI_SERVICE_H_
#define TREEFLOOD_MPI_SERVICE_H_

#include <mpi.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "work/grants.h"
#include "work/phase.h"

namespace treeflood {

// Rank 0's way of running a phase on every rank: the pool is set up before
// the others are told to start, and the phase ends when all have reported.
// Its own threads take grants from the pool directly, and a service thread
// hands them out to the other ranks and watches that each is heard from.
struct ClusterRunner final : PhaseRunner {
  Topology ranksTopology;
  int ranks = 1;
  MPI_Comm world = MPI_COMM_NULL;    // commands and reports
  MPI_Comm service = MPI_COMM_NULL;  // grants, progress and stops
  uint64_t batch = 0;                // the largest grant, 0 for none
  uint64_t stallTimeoutNs = 0;       // 0: wait for a silent rank forever
  int workFd = -1;                   // where a job that ends clears up
  std::string workDir;
  GrantPool pool;
  GrantedCounter counter;
  // The phase's, which the service obeys as the workers do.
  const std::atomic<bool>* stop = &kNeverStop;
  Phase phase = Phase::Create;
  bool progress = false;  // a live line is drawn
  // Of each rank, by the service during a phase: when it was last heard
  // from, the files it says it has begun, and whether it is done or was
  // warned of.
  struct Watch {
    uint64_t heardNs = 0, files = 0;
    bool done = false, warned = false;
  };
  std::vector<Watch> watches;
  std::vector<std::string> warnings;  // the phase's, once the service ends
  std::atomic<int> stalled{-1};       // a rank silent past the timeout

  Topology topology() const override { return ranksTopology; }
  void run(Phase phase, const PhasePlan& plan, uint64_t startNs,
           PhaseStats* stats) override;
};

}  // namespace treeflood

#endif  // TREEFLOOD_MPI_SERVICE_H_
