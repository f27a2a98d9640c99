// treeflood on MPI: every thread of every rank draws file numbers from one
// global counter on rank 0, and the ranks run each file phase together, in
// one working directory that all of them see.
#ifndef TREEFLOOD_MPI_CLUSTER_H_
#define TREEFLOOD_MPI_CLUSTER_H_

namespace treeflood {

// The whole of treeflood-mpi, as `main` gets it: reads the command line on
// every rank, and runs the benchmark from rank 0. Returns the exit status,
// rank 0's being the run's and the others' 0 unless they could not start.
int runClusterMain(int argc, char** argv);

}  // namespace treeflood

#endif  // TREEFLOOD_MPI_CLUSTER_H_
