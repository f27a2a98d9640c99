// Rank 0's side of treeflood-mpi: the phase runner that spreads a phase's
// numbers over every rank, and the service thread that hands them out.
#ifndef TREEFLOOD_MPI_SERVICE_H_
#define TREEFLOOD_MPI_SERVICE_H_

#include <mpi.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "mpi/protocol.h"
#include "work/grants.h"
#include "work/owners.h"
#include "work/phase.h"

namespace treeflood {

// Rank 0's way of running a phase on every rank: the pool is set up before
// the others are told to start, and the phase ends when all have reported.
// Its own threads take grants from the pool directly, and a service thread
// hands them out to the other ranks and watches that each one goes on
// finishing files while it holds some.
struct ClusterRunner final : PhaseRunner {
  Topology ranksTopology;
  int ranks = 1;
  MPI_Comm world = MPI_COMM_NULL;    // commands and reports
  MPI_Comm service = MPI_COMM_NULL;  // grants, progress, stops, keep-alives
  uint64_t batch = 0;                // the largest grant, 0 for none
  uint64_t stallTimeoutNs = 0;       // 0: wait for a stalled rank forever
  std::string workDir;               // as given, for --cleanup's advice
  GrantPool pool;
  GrantedCounter counter;
  // The phase's, which the service obeys as the workers do, and its plan,
  // which names the files a rank holds.
  const std::atomic<bool>* stop = &kNeverStop;
  const PhasePlan* plan = nullptr;
  Phase phase = Phase::Create;
  // Of each rank, by the service during a phase: when it was last heard
  // from and last finished a file, the files it says it has begun and
  // finished, the lowest number it works on (kNoMore for none), and whether
  // it is done, was warned of or stalled past the timeout.
  struct Watch {
    uint64_t heardNs = 0, movedNs = 0, files = 0, finished = 0;
    uint64_t held = UINT64_MAX;
    bool done = false, warned = false, stalled = false;
  };
  std::vector<Watch> watches;
  std::vector<std::string> warnings;  // the phase's, once the service ends
  // The rank stalled past the timeout, which ends the job once the run has
  // cleaned up and written its results: from then on, phases run on this
  // rank alone.
  std::atomic<int> stalled{-1};
  // The reports a phase gathers, kept until the next: a stall leaves the
  // gather to complete into them while the run ends.
  std::vector<Report> reports;
  Report ownReport;
  std::vector<uint64_t> refusedByAll;
  // The keep-alive: the phase whose turn it is and whether rank 0 is about
  // to pause, sent to each other rank with one send in flight at a time.
  std::atomic<int> turn{0};
  std::atomic<bool> pausing{false};
  struct Alive {
    MPI_Request request = MPI_REQUEST_NULL;
    uint64_t words[2] = {};
  };
  std::mutex aliveLock;
  std::vector<Alive> alive;  // by rank, under aliveLock
  StoppableThread aliveThread;

  Topology topology() const override { return ranksTopology; }
  void run(Phase phase, const PhasePlan& plan, uint64_t startNs,
           PhaseStats* stats) override;
  void announce(Phase phase, bool pausing) override;
  bool dropCaches(const std::function<bool()>& dropHere) override;
};

// Starts rank 0's keep-alive, which tells every other rank at least every
// second that rank 0 runs, until root->aliveThread is stopped.
void startKeepAlive(ClusterRunner* root);

}  // namespace treeflood

#endif  // TREEFLOOD_MPI_SERVICE_H_
