// treeflood-mpi: treeflood run by every rank of an MPI job, all in one tree.
#include "mpi/cluster.h"

int main(int argc, char** argv) {
  return treeflood::runClusterMain(argc, argv);
}
