// treeflood: creates, lists, measures and deletes a tree of small files,
// timing each phase.
#include <inttypes.h>

#include "console/output.h"
#include "driver/run.h"
#include "driver/settings.h"
#include "runner/command.h"
#include "work/latency.h"
#include "work/phase.h"
#include "work/workers.h"

int main(int argc, char** argv) {
  using namespace treeflood;
  initConsole();
  initLatencyClock();
  RunSettings settings;
  ParseResult parsed = parseCommandLine(argc, argv, &settings);
  if (!parsed.run) return parsed.exitStatus;
  if (settings.batch != 0 || settings.stallTimeout) {
    logMessage("%s works with treeflood-mpi only\n",
               settings.batch != 0 ? "--batch" : "--stall-timeout");
    return 1;
  }
  // While the process is small, before the data block and any thread: ls's
  // peak memory is then its own.
  Launcher launcher = startLauncher();
  int status = 1;
  if (initWork(settings.fileSize)) {
    LocalRunner runner(settings.threads);
    status = runBenchmark(settings, &runner, launcher);
  } else {
    logMessage("Failed to allocate the %" PRIu64 "-byte data block\n",
               settings.fileSize);
  }
  stopLauncher(&launcher);
  return status;
}
