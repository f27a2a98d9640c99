#include "driver/run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "console/output.h"
#include "console/report.h"
#include "console/texts.h"
#include "driver/results.h"
#include "runner/command.h"
#include "work/phase.h"

namespace {

const char kDoneLine[] = "Done, time spent: %L\n\n";

unsigned long long ull(uint64_t n) { return n; }

// Set by the first SIGINT, SIGTERM or SIGHUP: the phases stop drawing file
// numbers, and the run cleans up and ends with 128 + stopSignal.
std::atomic<bool> stopRequested{false};
volatile sig_atomic_t stopSignal = 0;

void stopAt(int number) {
  stopSignal = number;
  stopRequested.store(true, std::memory_order_relaxed);
}

void onStopSignal(int number) {
  if (stopSignal != 0) {
    // A second signal ends the process at once, by that signal.
    signal(number, SIG_DFL);
    raise(number);
    return;
  }
  stopAt(number);
}

void installSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
  // A reader that goes away, or a file-size limit, must not kill the run:
  // output is best effort, and EFBIG counts as the file's failure.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

// The 1024 directories stay open through the run, beside the standard
// descriptors and a few more.
void raiseDescriptorLimit() {
  const rlim_t kNeeded = kNbDirs + 64;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= kNeeded) {
    return;
  }
  limit.rlim_cur = std::min(limit.rlim_max, kNeeded);
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Writes what the create phase will write to a nameless file in `workFd`.
// Returns false, with the call and errno, when the file system refuses it;
// true also when it can't tell (no O_TMPFILE there).
bool directIoWorks(int workFd, int openFlags, size_t fileSize,
                   const char** call, int* error) {
  int fd =
      openat(workFd, ".",
             O_TMPFILE | O_WRONLY | O_CLOEXEC | (openFlags & O_DIRECT), 0600);
  if (fd < 0) {
    *call = "open";
    *error = errno;
    return *error != EINVAL;
  }
  *call = "write";
  *error = write(fd, dataBlock, fileSize) < 0 ? errno : 0;
  close(fd);
  return *error != EINVAL;
}

const char kDropCachesPath[] = "/proc/sys/vm/drop_caches";

// Writes what the file system holds to its disk, then drops the page, dentry
// and inode caches, so that the next phase reads cold metadata. Returns
// whether both worked; a failure is said in a warning line.
bool dropCaches(int workFd, int dropFd) {
  const char* failed = syncfs(workFd) != 0              ? "syncfs"
                       : pwrite(dropFd, "3", 1, 0) != 1 ? "write"
                                                        : nullptr;
  if (failed == nullptr) return true;
  logMessage("Warning: the caches were not dropped (%s: %s)\n", failed,
             strerror(errno));
  return false;
}

struct Text {
  char text[64];
};

Text clockNow() {
  Text t;
  clockText(t.text, sizeof t.text);
  return t;
}

Text bytesOf(int64_t blocks) {
  Text t;
  sizeText(t.text, sizeof t.text, blocks * 512);
  return t;
}

// Marks a phase as run on `files` file numbers, with its local start time;
// returns its start on the monotonic clock.
uint64_t startPhase(PhaseResult* phase, uint64_t files) {
  char iso[64];
  isoClockText(iso, sizeof iso);
  phase->ran = true;
  phase->files = files;
  phase->startedAt = iso;
  return monotonicNs();
}

// Prints the phase's "Done" line, `doneLine` being a report template.
void endPhase(PhaseResult* phase, uint64_t start, const char* doneLine) {
  phase->wallSeconds = secondsBetween(start, monotonicNs());
  writeReport(doneLine, phase->files, phase->files, phase->wallSeconds);
}

// Prints failureText's warning line, if there is one.
void warn(const PhaseFailures& failures, uint64_t total,
          const TreeLayout* layout, const char* verb, int openFlags) {
  std::string text = failureText(failures, total, layout, verb, openFlags);
  if (!text.empty()) logMessage("%s", text.c_str());
}

std::string absolutePath(const std::string& path) {
  char cwd[4096];
  if (path.empty() || path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr) {
    return path;
  }
  return std::string(cwd) + "/" + path;
}

// Writes `text` to `fd` in one call; on failure returns false with errno
// set, EIO standing for a short write.
bool writeAll(int fd, const std::string& text) {
  ssize_t written = write(fd, text.data(), text.size());
  if (written == static_cast<ssize_t>(text.size())) return true;
  if (written >= 0) errno = EIO;
  return false;
}

// Writes `text` to `path`; on failure returns false with errno set.
bool writeFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text);
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) errno = error;
  return ok;
}

// Appends `rows` to the CSV file open on `fd`, after the header if the file
// is empty. Other runs may append to the same file: the lock keeps each one's
// header test and rows together. On failure returns false with errno set.
bool appendCsv(int fd, const std::string& rows) {
  flock(fd, LOCK_EX);
  struct stat st;
  std::string text =
      fstat(fd, &st) == 0 && st.st_size == 0 ? kCsvHeader + rows : rows;
  bool ok = writeAll(fd, text);
  int error = errno;
  flock(fd, LOCK_UN);
  errno = error;
  return ok;
}

// Where a run is: the working directory's descriptor, the plan the phases
// share, and what they found.
struct Run {
  const RunSettings* settings = nullptr;
  const char* lsPath = nullptr;  // null when ls is not on PATH
  int dropFd = -1;  // kDropCachesPath, open for writing with --drop-caches
  int workFd = -1;
  int dirFds[kNbDirs] = {};
  SharedCounter counter;  // the numbers of a phase on this process alone
  PhasePlan plan;
  const Cluster* cluster = nullptr;
};

// Runs a file phase of `kind`, on the cluster's processes if there is one.
void runFilePhase(Run* run, PhaseKind kind, const PhasePlan& plan,
                  uint64_t startNs, PhaseStats* stats) {
  if (run->cluster != nullptr) {
    run->cluster->runPhase(run->cluster->context, kind, plan, startNs, stats);
  } else {
    runPhase(plan, kPhaseWorkers[kind], startNs, stats);
  }
}

// After a stop signal in `phase`, which had handed out `done` of `total` file
// numbers: removes the files the plan names and the directories unless they
// are to be kept, says where the run was stopped (last, so that the output
// ends with that line), and returns the exit status.
int interrupted(Run* run, const char* phase, uint64_t done, uint64_t total) {
  const int signal = stopSignal;
  if (!run->settings->dontDeleteFiles) {
    // Here alone, even in a cluster: the clean-up runs once.
    PhasePlan cleanup = run->plan;
    cleanup.timeFiles = false;
    cleanup.stop = &kNeverStop;
    cleanup.numbers = &run->counter;
    PhaseStats ignored;  // files that were never made fail to unlink
    runPhase(cleanup, deleteWorker, monotonicNs(), &ignored);
    PhaseFailures dirs;
    removeDirectories(run->workFd, run->dirFds, &dirs);
    warn(dirs, kNbDirs, nullptr, "removed", 0);
  }
  logMessage("Interrupted by SIG%s in the %s phase after %llu of %llu files\n",
             sigabbrev_np(signal), phase, ull(done), ull(total));
  return 128 + signal;
}

// Runs one iteration of the sequence into `r`; the files and directories are
// deleted unless `keep`. Returns 0, or the exit status after a stop signal.
int runPhases(Run* run, RunResults* results, bool keep) {
  const RunSettings& s = *run->settings;
  PhasePlan& plan = run->plan;
  const TreeLayout* layout = &plan.layout;
  RunResults& r = *results;
  plan.nbFiles = s.nbFiles;
  PhaseResult& create = r.phases[0];
  PhaseResult& size = r.phases[1];
  PhaseResult& remove = r.phases[2];

  logMessage("Creating %llu files, started at %s...\n", ull(s.nbFiles),
             clockNow().text);
  uint64_t start = startPhase(&create, s.nbFiles);
  if (s.timeLimit > 0) {
    plan.deadlineNs = start + static_cast<uint64_t>(s.timeLimit * 1e9);
    plan.timeUp = &stopRequested;
  }
  openDirectories(run->workFd, run->dirFds, &r.dirsMade);
  r.dirMakeSeconds = secondsBetween(start, monotonicNs());
  warn(r.dirsMade, kNbDirs, nullptr, "made", 0);
  runFilePhase(run, kCreatePhase, plan, start, &create.stats);
  plan.deadlineNs = 0;
  // From here on the phases work on the files that were made.
  const uint64_t n = create.files = std::min(create.stats.handedOut, s.nbFiles);
  plan.nbFiles = n;
  warn(create.stats.failures, n, layout, "created", s.openFlags);
  if (stopSignal == 0 && stopRequested) {
    // The time limit set the flag, not a signal; one that comes now is seen
    // below or by the next phase.
    stopRequested = false;
    r.stoppedByTimeLimit = true;
    logMessage("Stopped by the time limit after %llu of %llu files\n", ull(n),
               ull(s.nbFiles));
  }
  if (stopSignal != 0) return interrupted(run, "create", n, s.nbFiles);
  endPhase(&create, start, kDoneLine);

  if (s.dropCaches > 0) r.listingCold = dropCaches(run->workFd, run->dropFd);
  logMessage("Doing `ls -R`, started at %s...\n", clockNow().text);
  char iso[64];
  isoClockText(iso, sizeof iso);
  r.listingStartedAt = iso;
  start = monotonicNs();
  const char* const lsArgs[] = {"ls", "-R", nullptr};
  r.listing = runCommand("ls", run->lsPath, lsArgs, run->cluster != nullptr);
  r.listingSeconds = secondsBetween(start, monotonicNs());
  if (stopRequested) return interrupted(run, "listing", n, n);

  if (s.dropCaches > 0) size.cold = dropCaches(run->workFd, run->dropFd);
  logMessage("Compute size used by %llu files, started at %s...\n", ull(n),
             clockNow().text);
  start = startPhase(&size, n);
  runFilePhase(run, kSizePhase, plan, start, &size.stats);
  warn(size.stats.failures, n, layout, "measured", s.openFlags);
  if (stopRequested) {
    return interrupted(run, "size", std::min(size.stats.handedOut, n), n);
  }
  r.fileBlocks = size.stats.blocks;
  logMessage("Size used by files: %s\n", bytesOf(r.fileBlocks).text);
  r.dirBlocks = directoryBlocks(run->workFd, run->dirFds);
  logMessage("Size used by directory: %s\n", bytesOf(r.dirBlocks).text);
  logMessage("Size used (total): %s\n",
             bytesOf(r.fileBlocks + r.dirBlocks).text);
  endPhase(&size, start, kDoneLine);

  if (keep) return 0;
  if (s.pause) {
    // In a cluster, the others wait for this process, on its host.
    const std::string host =
        run->cluster ? " on " + run->cluster->hostname : "";
    logMessage("Paused before deleting: kill -CONT %d%s to go on\n",
               static_cast<int>(getpid()), host.c_str());
    kill(getpid(), SIGSTOP);
  }
  if (s.dropCaches > 1) remove.cold = dropCaches(run->workFd, run->dropFd);
  logMessage("Deleting %llu files, started at %s...\n", ull(n),
             clockNow().text);
  start = startPhase(&remove, n);
  // A stop signal lets the delete phase finish: stopping it would leave the
  // tree half removed.
  PhasePlan deletion = plan;
  deletion.stop = &kNeverStop;
  runFilePhase(run, kDeletePhase, deletion, start, &remove.stats);
  warn(remove.stats.failures, n, layout, "deleted", s.openFlags);
  const uint64_t removing = monotonicNs();
  removeDirectories(run->workFd, run->dirFds, &r.dirsRemoved);
  r.dirRemoveSeconds = secondsBetween(removing, monotonicNs());
  warn(r.dirsRemoved, kNbDirs, nullptr, "removed", 0);
  endPhase(&remove, start, "Done, time spent: %L\n");
  return stopRequested ? 128 + stopSignal : 0;
}

}  // namespace

const WorkerRoutine kPhaseWorkers[3] = {createWorker, sizeWorker, deleteWorker};

void requestStop(int signal) {
  if (stopSignal == 0) stopAt(signal);
}

std::string failureText(const PhaseFailures& failures, uint64_t total,
                        const TreeLayout* layout, const char* verb,
                        int openFlags) {
  if (failures.count == 0) return "";
  char path[kPathSize];
  if (layout != nullptr) {
    filePath(*layout, failures.firstIndex, path);
  } else {
    dirName(static_cast<unsigned>(failures.firstIndex), path);
  }
  bool directIo = failures.firstError == EINVAL &&
                  (strcmp(failures.firstCall, "open") == 0 ||
                   strcmp(failures.firstCall, "write") == 0) &&
                  (openFlags & O_DIRECT) != 0;
  char text[512];
  snprintf(text, sizeof text,
           "Warning: %llu of %llu %s could not be %s (first: %s(%s): %s)%s\n",
           ull(failures.count), ull(total),
           layout != nullptr ? "files" : "directories", verb,
           failures.firstCall, path, failureError(failures.firstError),
           directIo ? "; the file system may refuse direct I/O: try "
                      "--no-direct-io"
                    : "");
  return text;
}

int runBenchmark(const RunSettings& s, const Cluster* cluster) {
  // Both are resolved before the working directory changes: a relative JSON
  // path names a file where the user is, and a relative PATH entry a
  // directory there, never one in the tree the run works in.
  std::string jsonPath = s.jsonPath ? absolutePath(*s.jsonPath) : "";
  std::string csvPath = s.csvPath ? absolutePath(*s.csvPath) : "";
  char lsPath[256];
  bool haveLs = findOnPath(getenv("PATH"), "ls", lsPath, sizeof lsPath);
  // Only root may drop the caches: better to say so before anything is made.
  const int dropFd =
      s.dropCaches > 0 ? open(kDropCachesPath, O_WRONLY | O_CLOEXEC) : -1;
  if (s.dropCaches > 0 && dropFd < 0) {
    logMessage("--drop-caches needs root: open(%s): %s\n", kDropCachesPath,
               strerror(errno));
    return 1;
  }
  if (s.workDir && chdir(s.workDir->c_str()) != 0) {
    logMessage("Filed to change working directory (%s) because '%s'\n",
               s.workDir->c_str(), strerror(errno));
    return 1;
  }
  Run run;
  run.settings = &s;
  run.cluster = cluster;
  run.lsPath = haveLs ? lsPath : nullptr;
  run.dropFd = dropFd;
  run.workFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (run.workFd < 0) {
    logMessage("Failed to open the working directory (%s): %s\n",
               s.workDir ? s.workDir->c_str() : ".", strerror(errno));
    return 1;
  }
  char cwd[4096];
  std::string workDir = getcwd(cwd, sizeof cwd) ? cwd : ".";
  // Two runs in one directory would measure each other's files. The lock
  // goes with the process, however it ends.
  if (flock(run.workFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    logMessage("Another treeflood run is working in '%s'\n", workDir.c_str());
    return 1;
  }
  const char* call;
  int error;
  if ((s.openFlags & O_DIRECT) != 0 &&
      !directIoWorks(run.workFd, s.openFlags, s.fileSize, &call, &error)) {
    logMessage(
        "The file system of '%s' refuses direct I/O of %zu-byte files "
        "(%s: %s): try --no-direct-io\n",
        workDir.c_str(), static_cast<size_t>(s.fileSize), call,
        strerror(error));
    return 1;
  }
  // Opened before anything is made, so that a run can't end without its
  // rows, and after the checks that refuse a run, so that a refused one
  // leaves no empty file; closed at exit.
  const int csvFd = s.csvPath
                        ? open(csvPath.c_str(),
                               O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)
                        : -1;
  if (s.csvPath && csvFd < 0) {
    logMessage("Failed to open '%s': %s\n", csvPath.c_str(), strerror(errno));
    return 1;
  }
  raiseDescriptorLimit();
  installSignalHandlers();
  std::fill(std::begin(run.dirFds), std::end(run.dirFds), -EBADF);
  run.plan = {.nbFiles = s.nbFiles,
              .layout = computeLayout(s.nbFiles),
              .openFlags = s.openFlags,
              .fileSize = s.fileSize,
              .threads = s.threads,
              .timeFiles = s.summary || s.jsonPath.has_value(),
              .numbers = cluster ? cluster->numbers : &run.counter,
              .dirFds = run.dirFds,
              .stop = &stopRequested};

  // The system as it was before the run: its free space, above all.
  SystemInfo system = systemInfo();
  if (cluster) system.rankHosts = cluster->hosts;
  char times[32] = "";
  if (s.iterations > 1) {
    snprintf(times, sizeof times, ", %llu times", ull(s.iterations));
  }
  const unsigned threads = cluster ? cluster->threads : s.threads;
  logMessage("treeflood will create %s%llu files with %u thread%s%s\n",
             s.dontDeleteFiles ? "" : "and delete ", ull(s.nbFiles), threads,
             threads >= 2 ? "s" : "", times);
  if (cluster) logMessage("%s\n", cluster->ranksLine.c_str());
  logMessage("Version: %s, build: %s %s\n\n", kVersion, kBuildDate, kBuildTime);
  std::vector<RunResults> iterations;
  int status = 0;
  for (uint64_t i = 1; i <= s.iterations; ++i) {
    if (s.iterations > 1) {
      logMessage("%sIteration %llu of %llu\n", i > 1 ? "\n" : "", ull(i),
                 ull(s.iterations));
    }
    iterations.emplace_back();
    const bool last = i == s.iterations;
    status = runPhases(&run, &iterations.back(), last && s.dontDeleteFiles);
    if (status > 1) return status;
    if (!runValid(iterations.back(), threads)) status = 1;
    if (csvFd >= 0 &&
        !appendCsv(csvFd, csvRows(iterations.back(), i, s, workDir, system))) {
      logMessage("Failed to append the results to '%s': %s\n", csvPath.c_str(),
                 strerror(errno));
      status = 1;
    }
  }

  if (s.summary) {
    // One blank line between the last "Done" line and the table, as between
    // phases.
    logMessage("%s%s", s.dontDeleteFiles ? "" : "\n",
               summaryText(iterations, system.rankHosts).c_str());
  }
  if (s.jsonPath) {
    std::string text = jsonText(iterations, s, workDir, system);
    if (!writeFile(jsonPath, text)) {
      logMessage("Failed to write the results to '%s': %s\n", jsonPath.c_str(),
                 strerror(errno));
      status = 1;
    }
  }
  return status;
}
