// How the ranks of treeflood-mpi start: every rank reads the command line,
// and all of them check, together, that they can run the same benchmark in
// the same directory before anything is made.
#ifndef TREEFLOOD_MPI_STARTUP_H_
#define TREEFLOOD_MPI_STARTUP_H_

#include <string>
#include <vector>

#include "driver/settings.h"
#include "work/owners.h"

namespace treeflood {

// What the ranks agreed on.
struct Startup {
  RunSettings settings;
  UniqueFd workFd;
  std::string workDir;             // as given: "." by default
  unsigned threads = 0;            // of every rank together
  std::vector<std::string> hosts;  // by rank
  // With --drop-caches, on the lowest rank of each node but rank 0's (whose
  // run opens its own): the node's switch that drops the caches.
  UniqueFd dropFd;
};

// Reads the command line of `argv` on every rank, rank 0 alone saying what
// it finds, and checks on every rank what a run needs: MPI_THREAD_MULTIPLE
// (`provided`), the descriptor limit, the data block, rank 0's settings, -t
// apart, rank 0's working directory, and with --drop-caches, each other
// node's switch for dropping its caches. Each rank says what it found wrong
// itself, on standard error, prefixed with its rank, unless rank 0 says it
// for all. Collective. Returns -1 when every rank can run, else the exit
// status of this rank.
int startRanks(int argc, char** argv, int rank, int ranks, int provided,
               Startup* startup);

}  // namespace treeflood

#endif  // TREEFLOOD_MPI_STARTUP_H_
