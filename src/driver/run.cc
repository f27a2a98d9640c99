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
#include "driver/results.h"
#include "driver/settings.h"
#include "runner/command.h"
#include "work/phase.h"

namespace {

const char kDoneLine[] = "Done, time spent: %L\n\n";

unsigned long long ull(uint64_t n) { return n; }

RunResults runResults;

// Prints the opening line of a phase with the local time, and starts its
// timer.
void beginPhase(PhaseResult* phase, const char* format) {
  char clock[64];
  clockText(clock, sizeof clock);
  char iso[64];
  isoClockText(iso, sizeof iso);
  phase->ran = true;
  phase->startedAt = iso;
  logMessage(format, ull(runSettings.nbFiles), clock);
  markPhaseStart();
}

// Runs the phase's files on the run's threads, and prints the warning for
// its failures, if any.
void runFiles(PhaseResult* phase, WorkerRoutine worker, const char* verb) {
  // Files are timed only for the results that show their latency.
  bool timeFiles = runSettings.summary || runSettings.jsonPath.has_value();
  runPhase(worker, runSettings.threads, timeFiles, &phase->stats);
  std::string text = failureText(phase->stats.failures, runSettings.nbFiles,
                                 verb, runSettings.openFlags);
  if (!text.empty()) logMessage("%s", text.c_str());
}

// Stops the phase's timer and prints its "Done" line.
void endPhase(PhaseResult* phase, const char* doneLine) {
  markPhaseEnd();
  phase->wallSeconds = elapsedSeconds();
  reportDone(doneLine);
}

std::string absolutePath(const std::string& path) {
  char cwd[4096];
  if (path.empty() || path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr) {
    return path;
  }
  return std::string(cwd) + "/" + path;
}

// Writes `text` to `path`; on failure returns false with errno set.
bool writeFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  ssize_t written = write(fd, text.data(), text.size());
  int error = written < 0 ? errno : EIO;  // EIO stands for a short write
  bool ok = written == static_cast<ssize_t>(text.size());
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) errno = error;
  return ok;
}

void printSize(const char* format, int64_t blocks) {
  char text[64];
  sizeText(text, sizeof text, blocks * 512);
  logMessage(format, text);
}

// Calls `operation(name)` for each of the 1024 directories, in order.
template <typename Operation>
void forEachDirectory(Operation operation) {
  char name[6];
  for (unsigned d = 0; d < kNbDirs; ++d) {
    dirName(d, name);
    operation(name);
  }
}

// Makes each of the 1024 directories that isn't there and readable already.
void makeDirectories() {
  forEachDirectory([](const char* name) {
    if (access(name, R_OK) != 0) mkdir(name, 0766);
  });
}

// st_blocks of the working directory and the 1024 directories; one that
// can't be stat'ed adds nothing.
int64_t directoryBlocks() {
  struct stat st;
  int64_t blocks = stat(".", &st) == 0 ? st.st_blocks : 0;
  forEachDirectory([&](const char* name) {
    if (stat(name, &st) == 0) blocks += st.st_blocks;
  });
  return blocks;
}

// Removes the 1024 directories; one that still holds entries stays.
void removeDirectories() {
  forEachDirectory([](const char* name) { rmdir(name); });
}

}  // namespace

std::string failureText(const PhaseFailures& failures, uint64_t nbFiles,
                        const char* verb, int openFlags) {
  if (failures.count == 0) return "";
  char path[32];
  filePath(computeLayout(nbFiles), failures.firstIndex, path);
  bool directIo = failures.firstError == EINVAL &&
                  strcmp(failures.firstCall, "open") == 0 &&
                  (openFlags & O_DIRECT) != 0;
  char text[512];
  snprintf(text, sizeof text,
           "Warning: %llu of %llu files could not be %s (first: %s(%s): "
           "%s)%s\n",
           ull(failures.count), ull(nbFiles), verb, failures.firstCall, path,
           failureError(failures.firstError),
           directIo ? "; the file system may refuse direct I/O: try "
                      "--no-direct-io"
                    : "");
  return text;
}

int runBenchmark() {
  const RunSettings& s = runSettings;
  treeLayout = computeLayout(s.nbFiles);
  setReportTotal(s.nbFiles);
  // Resolved before the working directory changes, so that a relative path
  // names a file where the user is.
  std::string jsonPath = s.jsonPath ? absolutePath(*s.jsonPath) : "";
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
  RunResults& r = runResults;
  PhaseResult& create = r.phases[0];
  PhaseResult& size = r.phases[1];
  PhaseResult& remove = r.phases[2];

  beginPhase(&create, "Creating %llu files, started at %s...\n");
  makeDirectories();
  runFiles(&create, createWorker, "created");
  endPhase(&create, kDoneLine);

  char clock[64];
  clockText(clock, sizeof clock);
  logMessage("Doing `ls -R`, started at %s...\n", clock);
  char* lsArgs[] = {nullptr, const_cast<char*>("-R"), nullptr};
  r.listing = runCommand("ls", lsArgs);

  beginPhase(&size, "Compute size used by %llu files, started at %s...\n");
  fileBlocks = 0;
  runFiles(&size, sizeWorker, "measured");
  r.fileBlocks = fileBlocks;
  printSize("Size used by files: %s\n", fileBlocks);
  r.dirBlocks = directoryBlocks();
  printSize("Size used by directory: %s\n", r.dirBlocks);
  fileBlocks += r.dirBlocks;
  printSize("Size used (total): %s\n", fileBlocks);
  endPhase(&size, kDoneLine);

  if (!s.dontDeleteFiles) {
    if (s.pause) kill(getpid(), SIGSTOP);
    beginPhase(&remove, "Deleting %llu files, started at %s...\n");
    runFiles(&remove, deleteWorker, "deleted");
    removeDirectories();
    endPhase(&remove, "Done, time spent: %L\n");
  }

  int status = runValid(r) ? 0 : 1;
  if (s.summary) {
    // One blank line between the last "Done" line and the table, as between
    // phases.
    logMessage("%s%s", s.dontDeleteFiles ? "" : "\n",
               summaryText(r, s.nbFiles).c_str());
  }
  if (s.jsonPath) {
    char cwd[4096];
    std::string workDir = getcwd(cwd, sizeof cwd) ? cwd : "";
    std::string text = jsonText(r, s, workDir, systemInfo());
    if (!writeFile(jsonPath, text)) {
      logMessage("Failed to write the results to '%s': %s\n", jsonPath.c_str(),
                 strerror(errno));
      status = 1;
    }
  }
  return status;
}
