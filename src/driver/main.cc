// treeflood: creates, lists, measures and deletes a tree of small files,
// timing each phase.
#include <stdlib.h>

#include "console/output.h"
#include "driver/run.h"
#include "driver/settings.h"
#include "work/latency.h"
#include "work/workers.h"

int main(int argc, char** argv) {
  if (!initWork()) {
    logMessage("Failed to allocate the %zu-byte data block\n", kDataBlockSize);
    return 1;
  }
  initConsole();
  initLatencyClock();
  ParseResult parsed = parseCommandLine(argc, argv, &runSettings);
  if (!parsed.run) return parsed.exitStatus;
  return runBenchmark();
}
