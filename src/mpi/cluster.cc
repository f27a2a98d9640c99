#include "mpi/cluster.h"

#include <mpi.h>

#include "console/output.h"
#include "driver/run.h"
#include "driver/stop.h"
#include "mpi/follower.h"
#include "mpi/protocol.h"
#include "mpi/service.h"
#include "mpi/startup.h"
#include "runner/command.h"
#include "work/latency.h"

namespace treeflood {

int runClusterMain(int argc, char** argv) {
  initConsole();
  initLatencyClock();
  // From the start: a stop signal during MPI's start-up is kept, and acted on
  // once the phases begin, instead of killing one rank while the others wait
  // for it.
  installStopHandlers();
  // Before MPI exists, while the process is small, and before its rank is
  // known: rank 0's ls starts from it, the others end theirs.
  Launcher launcher = startLauncher();
  int provided = 0, rank = 0, ranks = 1;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  if (rank != 0) stopLauncher(&launcher);
  Startup startup;
  int status = startRanks(argc, argv, rank, ranks, provided, &startup);
  if (status >= 0) {
    startup.workFd.reset();
    MPI_Finalize();
    return status;
  }
  const RunSettings& settings = startup.settings;
  MPI_Comm service;
  MPI_Comm_dup(MPI_COMM_WORLD, &service);
  if (rank != 0) {
    follow(startup, MPI_COMM_WORLD, service);
    startup.workFd.reset();
    MPI_Comm_free(&service);
    MPI_Finalize();
    // A rank that stopped cleanly says so, as rank 0 does.
    return stopSignal() != 0 ? 128 + stopSignal() : 0;
  }

  ClusterRunner runner;
  runner.ranks = ranks;
  runner.world = MPI_COMM_WORLD;
  runner.service = service;
  runner.batch = settings.batch;
  runner.stallTimeoutNs = static_cast<uint64_t>(
      settings.stallTimeout.value_or(kStallTimeout) * 1e9);
  runner.workDir = startup.workDir;
  runner.ranksTopology.threads = startup.threads;
  runner.ranksTopology.hosts = startup.hosts;
  startKeepAlive(&runner);
  status = runBenchmark(settings, &runner, launcher);
  startup.workFd.reset();
  stopLauncher(&launcher);
  // The run has cleaned up and written its results; the stalled rank would
  // never hear the end.
  if (runner.stalled.load() >= 0) MPI_Abort(MPI_COMM_WORLD, 1);
  runner.aliveThread.stop();
  // However the run ended, the others stop waiting for a phase.
  Command quit;
  quit.quit = 1;
  quit.stop = stopSignal() | stopRank() << 8;
  MPI_Request request;
  MPI_Ibcast(&quit, sizeof quit, MPI_BYTE, 0, MPI_COMM_WORLD, &request);
  waitQuietly(&request, MPI_COMM_NULL);
  MPI_Comm_free(&service);
  MPI_Finalize();
  return status;
}

}  // namespace treeflood
