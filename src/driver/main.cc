// treeflood: creates, lists, measures and deletes a tree of small files,
// timing each phase.
#include "console/output.h"
#include "driver/run.h"
#include "driver/settings.h"
#include "work/latency.h"
#include "work/workers.h"

int main(int argc, char** argv) {
  initConsole();
  if (!initWork()) {
    logMessage("Failed to allocate the %zu-byte data block\n", kDataBlockSize);
    return 1;
  }
  initLatencyClock();
  RunSettings settings;
  ParseResult parsed = parseCommandLine(argc, argv, &settings);
  if (!parsed.run) return parsed.exitStatus;
  return runBenchmark(settings);
}
