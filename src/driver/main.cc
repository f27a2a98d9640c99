// treeflood: creates, lists, measures and deletes a tree of small files,
// timing each phase.
#include "console/output.h"
#include "driver/run.h"
#include "driver/settings.h"
#include "runner/command.h"
#include "work/latency.h"
#include "work/phase.h"
#include "work/workers.h"

int main(int argc, char** argv) {
  initConsole();
  initLatencyClock();
  // While the process is small: ls's peak memory is then its own.
  Launcher launcher = startLauncher();
  RunSettings settings;
  ParseResult parsed = parseCommandLine(argc, argv, &settings);
  if (!parsed.run) return parsed.exitStatus;
  if (settings.batch != 1) {
    logMessage("--batch works with treeflood-mpi only\n");
    return 1;
  }
  if (!initWork(settings.fileSize)) {
    logMessage("Failed to allocate the %llu-byte data block\n",
               static_cast<unsigned long long>(settings.fileSize));
    return 1;
  }
  LocalRunner runner(settings.threads);
  const int status = runBenchmark(settings, &runner, launcher);
  stopLauncher(&launcher);
  return status;
}
