// A rank other than 0 in treeflood-mpi: it runs each phase that rank 0
// starts, on numbers that it asks rank 0 for.
#ifndef TREEFLOOD_MPI_FOLLOWER_H_
#define TREEFLOOD_MPI_FOLLOWER_H_

#include <mpi.h>

#include "mpi/startup.h"

namespace treeflood {

// Runs each phase rank 0 starts on the same files, in the working directory
// of `startup`, from the global counter, until rank 0 says to quit. Ends the
// job when rank 0 has sent nothing for the stall timeout, but while it
// pauses.
void follow(const Startup& startup, MPI_Comm world, MPI_Comm service);

}  // namespace treeflood

#endif  // TREEFLOOD_MPI_FOLLOWER_H_
