#include "driver/run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/output.h"
#include "console/report.h"
#include "console/texts.h"
#include "driver/layout.h"
#include "driver/settings.h"
#include "runner/command.h"
#include "work/phase.h"

namespace {

const char kDoneLine[] = "Done, time spent: %L\n\n";

unsigned long long ull(uint64_t n) { return n; }

// Prints the warning for a phase's failures, if any. Returns whether there
// were any.
bool reportFailures(const PhaseFailures& failures, const char* verb) {
  std::string text =
      failureText(failures, runSettings.nbFiles, verb, runSettings.openFlags);
  if (text.empty()) return false;
  logMessage("%s", text.c_str());
  return true;
}

void printSize(const char* format, int64_t blocks) {
  char text[64];
  sizeText(text, sizeof text, blocks * 512);
  logMessage(format, text);
}

void printPhaseStart(const char* format) {
  char clock[64];
  clockText(clock, sizeof clock);
  logMessage(format, ull(runSettings.nbFiles), clock);
}

// Makes each of the 1024 directories that isn't there and readable already.
void makeDirectories() {
  char name[6];
  for (unsigned d = 0; d < kNbDirs; ++d) {
    dirName(d, name);
    if (access(name, R_OK) != 0) mkdir(name, 0766);
  }
}

// st_blocks of the working directory and the 1024 directories; one that
// can't be stat'ed adds nothing.
int64_t directoryBlocks() {
  struct stat st;
  int64_t blocks = stat(".", &st) == 0 ? st.st_blocks : 0;
  char name[6];
  for (unsigned d = 0; d < kNbDirs; ++d) {
    dirName(d, name);
    if (stat(name, &st) == 0) blocks += st.st_blocks;
  }
  return blocks;
}

void removeDirectories() {
  char name[6];
  for (unsigned d = 0; d < kNbDirs; ++d) {
    dirName(d, name);
    rmdir(name);
  }
}

}  // namespace

std::string failureText(const PhaseFailures& failures, uint64_t nbFiles,
                        const char* verb, int openFlags) {
  if (failures.count == 0) return "";
  char path[32];
  filePath(computeLayout(nbFiles), failures.firstIndex, path);
  const char* error =
      failures.firstError == 0 ? "short write" : strerror(failures.firstError);
  bool directIo = failures.firstError == EINVAL &&
                  strcmp(failures.firstCall, "open") == 0 &&
                  (openFlags & O_DIRECT) != 0;
  char text[512];
  snprintf(text, sizeof text,
           "Warning: %llu of %llu files could not be %s (first: %s(%s): "
           "%s)%s\n",
           ull(failures.count), ull(nbFiles), verb, failures.firstCall, path,
           error,
           directIo ? "; the file system may refuse direct I/O: try "
                      "--no-direct-io"
                    : "");
  return text;
}

int runBenchmark() {
  const RunSettings& s = runSettings;
  treeLayout = computeLayout(s.nbFiles);
  setReportTotal(s.nbFiles);
  if (s.workDir && chdir(s.workDir->c_str()) != 0) {
    logMessage("Filed to change working directory (%s) because '%s'\n",
               s.workDir->c_str(), strerror(errno));
    return 1;
  }
  if (s.dontDeleteFiles) {
    logMessage("treeflood will create %llu files with %u thread%s\n",
               ull(s.nbFiles), s.threads, s.threads >= 2 ? "s" : "");
  } else {
    logMessage("treeflood will create and delete %llu files with %u thread%s\n",
               ull(s.nbFiles), s.threads, s.threads >= 2 ? "s" : "");
  }
  logMessage("Version: %s, build: %s %s\n\n", kVersion, kBuildDate, kBuildTime);
  bool failed = false;

  printPhaseStart("Creating %llu files, started at %s...\n");
  markPhaseStart();
  makeDirectories();
  failed |= reportFailures(runPhase(createWorker, s.threads), "created");
  markPhaseEnd();
  reportDone(kDoneLine);

  char clock[64];
  clockText(clock, sizeof clock);
  logMessage("Doing `ls -R`, started at %s...\n", clock);
  char* lsArgs[] = {nullptr, const_cast<char*>("-R"), nullptr};
  runCommand("ls", lsArgs);

  printPhaseStart("Compute size used by %llu files, started at %s...\n");
  markPhaseStart();
  fileBlocks = 0;
  failed |= reportFailures(runPhase(sizeWorker, s.threads), "measured");
  printSize("Size used by files: %s\n", fileBlocks);
  int64_t dirBlocks = directoryBlocks();
  printSize("Size used by directory: %s\n", dirBlocks);
  fileBlocks += dirBlocks;
  printSize("Size used (total): %s\n", fileBlocks);
  markPhaseEnd();
  reportDone(kDoneLine);

  if (!s.dontDeleteFiles) {
    if (s.pause) kill(getpid(), SIGSTOP);
    printPhaseStart("Deleting %llu files, started at %s...\n");
    markPhaseStart();
    failed |= reportFailures(runPhase(deleteWorker, s.threads), "deleted");
    removeDirectories();
    markPhaseEnd();
    reportDone("Done, time spent: %L\n");
  }
  return failed ? 1 : 0;
}
