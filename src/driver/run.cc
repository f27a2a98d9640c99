#include "driver/run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "console/output.h"
#include "console/report.h"
#include "console/texts.h"
#include "driver/writers.h"
#include "runner/command.h"

namespace treeflood {

std::atomic<bool> stopRequested{false};

namespace {

const char kDoneLine[] = "Done, time spent: %L\n\n";
const char kDropCachesPath[] = "/proc/sys/vm/drop_caches";

unsigned long long ull(uint64_t n) { return n; }

// The stop: the signal, and the rank that received it above 8 bits; set
// once, by the handler or by another thread. Lock-free atomics are safe in a
// signal handler, and the handler and the thread that passes on another
// rank's stop may race.
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> stopCode{0};
// Whether this process received a stop signal itself: a stop passed on from
// another rank must not make this process's own first signal its second, or
// a SIGTERM to every rank (as a batch system sends it) would kill rank 0
// before it cleans up.
std::atomic<bool> received{false};

// Sets the stop to `signal` from `rank` unless one is set.
void setStop(int signal, int rank) {
  int none = 0;
  if (stopCode.compare_exchange_strong(none, rank << 8 | signal)) {
    stopRequested.store(true, std::memory_order_relaxed);
  }
}

void onStopSignal(int number) {
  if (received.exchange(true)) {
    // A second signal ends the process at once, by that signal.
    signal(number, SIG_DFL);
    raise(number);
    return;
  }
  setStop(number, 0);
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

std::string isoNow() {
  char iso[64];
  isoClockText(iso, sizeof iso);
  return iso;
}

// Where a phase began: on the monotonic clock, and in this thread's output
// time, which the phase's time leaves out.
struct PhaseStart {
  uint64_t ns = 0;
  uint64_t outputNs = 0;
};

// Marks a phase as run on `files` file numbers, with its local start time.
PhaseStart startPhase(PhaseResult* phase, uint64_t files) {
  phase->ran = true;
  phase->files = files;
  phase->startedAt = isoNow();
  return {monotonicNs(), outputNs()};
}

// Seconds since `start`, less those this thread spent on its output.
double secondsSince(const PhaseStart& start) {
  return secondsBetween(start.ns + (outputNs() - start.outputNs),
                        monotonicNs());
}

// Prints the phase's "Done" line, `doneLine` being a report template.
void endPhase(PhaseResult* phase, const PhaseStart& start,
              const char* doneLine) {
  phase->wallSeconds = secondsSince(start);
  writeReport(doneLine, phase->files, phase->files, phase->wallSeconds);
}

// Prints failureText's warning line, if there is one.
void warn(const PhaseFailures& failures, uint64_t total,
          const TreeLayout& layout, bool files, const char* verb,
          int openFlags) {
  std::string text =
      failureText(failures, total, layout, files, verb, openFlags);
  if (!text.empty()) logMessage("%s", text.c_str());
}

std::string absolutePath(const std::string& path) {
  char cwd[4096];
  if (path.empty() || path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr) {
    return path;
  }
  return std::string(cwd) + "/" + path;
}

// `path` with its directory resolved, so that two names of one file compare
// equal before the file exists; `path` itself when the directory does not.
std::string canonicalPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  char* real = realpath(dir.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved = real;
  free(real);
  return (resolved == "/" ? "" : resolved) + path.substr(slash);
}

// `path` with every link resolved, its last part's too where that is a
// link to nothing yet, so that it names what an open would create.
std::string resolvedPath(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    char* real = realpath(path.c_str(), nullptr);
    if (real != nullptr) {
      path = real;
      free(real);
      return path;
    }
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) break;
    target[n] = '\0';
    path = target[0] == '/' ? target
                            : path.substr(0, path.rfind('/') + 1) + target;
  }
  return canonicalPath(path);
}

// Whether the output file `path` would stand where a run makes or removes
// entries in the working directory open on `workFd`: in one of its
// directories' names, or at such a name or a file's in it.
bool inTree(int workFd, const std::string& path) {
  struct stat work;
  if (fstat(workFd, &work) != 0) return false;
  auto isWork = [&work](const std::string& dir) {
    struct stat st;
    return stat(dir.empty() ? "/" : dir.c_str(), &st) == 0 &&
           st.st_dev == work.st_dev && st.st_ino == work.st_ino;
  };
  const std::string real = resolvedPath(path);
  const size_t slash = real.rfind('/');
  if (slash == std::string::npos) return false;
  const std::string dir = real.substr(0, slash);
  const std::string name = real.substr(slash + 1);
  if (isWork(dir)) return isDirName(name.c_str()) || isFileName(name.c_str());
  const size_t up = dir.rfind('/');
  return up != std::string::npos && isDirName(dir.substr(up + 1).c_str()) &&
         isWork(dir.substr(0, up));
}

// Whether the --json and --csv paths name one file: the JSON would replace
// the CSV's rows.
bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  return canonicalPath(a) == canonicalPath(b);
}

// "on 3 ranks: node1 (2), node2 (1)": the hosts in rank order, each with the
// number of ranks it runs.
std::string ranksLine(const std::vector<std::string>& hosts) {
  std::vector<std::pair<std::string, int>> counts;
  for (const std::string& host : hosts) {
    auto it = std::find_if(counts.begin(), counts.end(),
                           [&](const auto& c) { return c.first == host; });
    if (it == counts.end()) {
      counts.push_back({host, 1});
    } else {
      ++it->second;
    }
  }
  std::string line = "on " + std::to_string(hosts.size()) + " ranks:";
  for (size_t i = 0; i < counts.size(); ++i) {
    line += (i == 0 ? " " : ", ") + counts[i].first + " (" +
            std::to_string(counts[i].second) + ")";
  }
  return line;
}

// A run once prepared: the working directory's descriptor, the output files,
// the plan the phases share, and what the writers say of the run.
struct Run {
  const RunSettings* settings = nullptr;
  PhaseRunner* runner = nullptr;
  Launcher launcher;
  RunContext context;
  std::string jsonPath, csvPath;  // absolute
  char lsPath[256] = "";          // empty when ls is not on PATH
  int dropFd = -1;  // kDropCachesPath, open for writing with --drop-caches
  int workFd = -1;
  int csvFd = -1;
  std::vector<int> dirFds;
  // The file numbers the create phase refused, sorted; the plan's.
  std::vector<uint64_t> refused;
  uint64_t seed = 0;  // of the random order
  PhasePlan plan;
  StoredResult baseline;  // with --compare
  // Where a stop signal cut the run short, said last.
  const char* stoppedIn = nullptr;
  uint64_t stoppedAfter = 0, stoppedOf = 0;

  ~Run() {
    // Empty when the run was refused before its plan was made.
    if (!dirFds.empty()) closeDirectories(plan.layout, dirFds.data());
    for (int fd : {dropFd, workFd, csvFd}) {
      if (fd >= 0) close(fd);
    }
  }
};

// Opens the working directory into `workFd`, its absolute path in `dir`, and
// locks it; false after saying why not.
bool openWorkDir(const RunSettings& s, int* workFd, std::string* workDir) {
  // Every path of the tree is taken from this descriptor; the process never
  // changes its own directory.
  const char* dir = s.workDir ? s.workDir->c_str() : ".";
  *workFd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (*workFd < 0) {
    logMessage("Filed to change working directory (%s) because '%s'\n", dir,
               strerror(errno));
    return false;
  }
  char* real = realpath(dir, nullptr);
  *workDir = real != nullptr ? real : absolutePath(dir);
  free(real);
  // Two runs in one directory would measure each other's files. The lock
  // goes with the process, however it ends.
  if (flock(*workFd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK) {
    logMessage("Another treeflood run is working in '%s'\n", workDir->c_str());
    return false;
  }
  // Some network file systems have no locks: the run goes on, unguarded.
  logMessage(
      "Warning: the working directory could not be locked (flock: %s): a "
      "second run in it would not be kept out\n",
      strerror(errno));
  return true;
}

// --cleanup: removes what a killed run of this user left in the working
// directory, under a run's lock. Returns 0, or 1 when anything stays.
int cleanUp(const RunSettings& s) {
  int workFd = -1;
  std::string workDir;
  const bool opened = openWorkDir(s, &workFd, &workDir);
  LeftoverTally tally;
  if (opened) removeLeftovers(workFd, &tally);
  if (workFd >= 0) close(workFd);
  if (!opened) return 1;
  logMessage("%s", leftoverText(tally, workDir).c_str());
  return tally.stayed == 0 ? 0 : 1;
}

// Reads the --compare baseline and checks that it ran this run's workload;
// false after saying why not.
bool checkBaseline(Run* run) {
  const std::string& path = *run->settings->comparePath;
  std::string error;
  if (!loadResult(path, &run->baseline, &error)) {
    logMessage("Can't compare with '%s': %s\n", path.c_str(), error.c_str());
    return false;
  }
  StoredResult now;
  readResult(jsonText({}, run->context), &now, &error);
  const std::vector<std::string> differences =
      workloadDifferences(run->baseline, now);
  for (const std::string& d : differences) {
    logMessage("Can't compare with '%s': the workloads differ in %s\n",
               path.c_str(), d.c_str());
  }
  run->context.baselinePath = absolutePath(path);
  return differences.empty();
}

// Everything a run needs before its first iteration: the output paths, ls,
// the caches' switch, the working directory and its lock, the direct-I/O
// probe, the CSV file, the stop signals and the plan. Returns 0, or 1 after
// saying why the run can't start; nothing is made either way.
int prepareRun(const RunSettings& s, PhaseRunner* runner, Run* run) {
  run->settings = &s;
  run->runner = runner;
  // Resolved where the user is: a relative JSON path names a file there, and
  // a relative PATH entry a directory there, never one in the tree.
  if (s.jsonPath) run->jsonPath = absolutePath(*s.jsonPath);
  if (s.csvPath) run->csvPath = absolutePath(*s.csvPath);
  if (!findOnPath(getenv("PATH"), "ls", run->lsPath, sizeof run->lsPath)) {
    run->lsPath[0] = '\0';
  }
  // Only root may drop the caches: better to say so before anything is made.
  if (s.dropCaches > 0) {
    run->dropFd = open(kDropCachesPath, O_WRONLY | O_CLOEXEC);
    if (run->dropFd < 0) {
      logMessage("--drop-caches needs root: open(%s): %s\n", kDropCachesPath,
                 strerror(errno));
      return 1;
    }
  }
  if (!raiseDescriptorLimit(s.dirs)) return 1;
  std::string workDir;
  if (!openWorkDir(s, &run->workFd, &workDir)) return 1;
  const char* call;
  int error;
  if ((s.openFlags & O_DIRECT) != 0 &&
      !directIoWorks(run->workFd, s.openFlags, s.fileSize, &call, &error)) {
    logMessage(
        "The file system of '%s' refuses direct I/O of %zu-byte files "
        "(%s: %s): try --no-direct-io\n",
        workDir.c_str(), static_cast<size_t>(s.fileSize), call,
        strerror(error));
    return 1;
  }
  // The output files are checked before anything is made, so that a run
  // can't end without its results. No open may block: a FIFO is refused.
  if (s.jsonPath && s.csvPath && sameFile(run->jsonPath, run->csvPath)) {
    logMessage("'%s' can't be both the --json and the --csv file\n",
               run->jsonPath.c_str());
    return 1;
  }
  // The tree's phases and clean-ups would take such a file for a leftover.
  for (const auto& [option, path] :
       {std::pair{"--json", &run->jsonPath}, {"--csv", &run->csvPath}}) {
    if (!path->empty() && inTree(run->workFd, *path)) {
      logMessage("The %s file '%s' would be in the run's tree in '%s'\n",
                 option, path->c_str(), workDir.c_str());
      return 1;
    }
  }
  if (s.jsonPath && !canWriteFile(run->jsonPath)) {
    logMessage("Can't write the results to '%s': %s\n", run->jsonPath.c_str(),
               errno == EINVAL ? "not a regular file" : strerror(errno));
    return 1;
  }
  // A seed of the run's own unless one was given: printed and stored, so
  // that the run can be repeated.
  run->seed = s.seed.value_or(0);
  if (s.randomOrder && !s.seed &&
      getrandom(&run->seed, sizeof run->seed, 0) != sizeof run->seed) {
    run->seed = monotonicNs() ^ static_cast<uint64_t>(getpid());
  }
  // The system as it was before the run: its free space, above all.
  run->context.settings = &s;
  run->context.seed = run->seed;
  run->context.workDir = workDir;
  run->context.system = systemInfo(run->workFd, workDir);
  run->context.topology = runner->topology();
  if (s.comparePath && !checkBaseline(run)) return 1;
  // Opened after the checks that refuse a run, so that a refused one leaves
  // no empty file.
  if (s.csvPath) {
    struct stat st;
    run->csvFd =
        open(run->csvPath.c_str(),
             O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    const char* why = run->csvFd < 0 ? strerror(errno)
                      : fstat(run->csvFd, &st) != 0 || !S_ISREG(st.st_mode)
                          ? "not a regular file"
                      : !csvHeaderMatches(run->csvFd)
                          ? "its columns are not this version's: start a new "
                            "file"
                          : nullptr;
    if (why != nullptr) {
      logMessage("Failed to open '%s': %s\n", run->csvPath.c_str(), why);
      return 1;
    }
  }
  installStopHandlers();
  run->plan = runPlan(s);
  run->plan.timeFiles = s.summary || s.jsonPath.has_value();
  run->dirFds.assign(s.dirs, -EBADF);
  run->plan.dirFds = run->dirFds.data();
  run->plan.refused = &run->refused;
  run->plan.stop = &stopRequested;
  return 0;
}

// The files a phase after the create phase goes over: the numbers handed
// out, less those refused.
uint64_t madeFiles(const Run& run) {
  return run.plan.nbFiles - run.refused.size();
}

// Sets the plan's count and order for `phase` over `files`.
void planPhase(Run* run, Phase phase, uint64_t files) {
  run->plan.nbFiles = files;
  run->plan.order = phaseOrder(*run->settings, run->seed, phase, files);
}

// Removes the files the plan names but those refused, and the directories
// unless they are to be kept: what a stop leaves of the run.
void removeTree(Run* run) {
  if (run->settings->dontDeleteFiles) return;
  // By this process alone, however many ran the phase: the clean-up runs
  // once.
  SharedCounter counter;
  planPhase(run, Phase::Delete, run->plan.nbFiles);
  PhasePlan cleanup = run->plan;
  cleanup.timeFiles = false;
  cleanup.stop = &kNeverStop;
  cleanup.numbers = &counter;
  PhaseStats ignored;  // files that were never made fail to unlink
  runPhase(cleanup, deleteWorker, monotonicNs(), &ignored);
  PhaseFailures dirs;
  const TreeLayout& layout = run->plan.layout;
  removeDirectories(run->workFd, layout, run->dirFds.data(), &dirs);
  warn(dirs, layout.dirs, layout, false, "removed", 0);
}

// Notes that a stop came in `phase` after `done` of `total` file numbers,
// and returns the exit status.
int stopped(Run* run, const char* phase, uint64_t done, uint64_t total) {
  run->stoppedIn = phase;
  run->stoppedAfter = done;
  run->stoppedOf = total;
  return 128 + stopSignal();
}

// Makes the directories and the files, until the count, a stop signal or the
// time limit; from then on the plan counts the numbers handed out, which the
// later phases and the clean-up after a stop go over.
uint64_t createFiles(Run* run, RunResults* r, const PhaseStart& start) {
  const RunSettings& s = *run->settings;
  PhasePlan& plan = run->plan;
  PhaseResult& create = (*r)[Phase::Create];
  const TreeLayout& layout = plan.layout;
  PhaseFailures exposed;
  openDirectories(run->workFd, layout, true, run->dirFds.data(), &r->dirsMade,
                  &exposed);
  r->dirMakeSeconds = secondsSince(start);
  warn(r->dirsMade, layout.dirs, layout, false, "made", 0);
  if (exposed.count != 0) {
    char first[kDirNameSize];
    dirName(layout, static_cast<unsigned>(exposed.firstIndex), first);
    logMessage(
        "Warning: %llu of %u directories were there before the run and others "
        "can write in them (first: %s)\n",
        ull(exposed.count), layout.dirs, first);
  }
  // Only this phase has a deadline, and ends with a syncfs when asked for.
  PhasePlan creation = plan;
  if (s.timeLimit > 0) {
    creation.deadlineNs = start.ns + static_cast<uint64_t>(s.timeLimit * 1e9);
  }
  if (s.sync == kSyncPhase) creation.syncFd = run->workFd;
  run->runner->run(Phase::Create, creation, start.ns, &create.stats);
  if (create.stats.syncError != 0) {
    logMessage("Warning: syncfs(%s): %s\n", run->context.workDir.c_str(),
               strerror(create.stats.syncError));
  }
  // A stop may have left a few of the numbers handed out unworked.
  const uint64_t n = std::min(create.stats.handedOut, s.nbFiles);
  create.files = filesBegun(create.stats, n);
  plan.nbFiles = n;
  // Whatever held a refused name stays as it was to the end of the run.
  run->refused = std::move(create.stats.refused);
  return n;
}

// Stops the run when the create phase met too many names it may not touch,
// and says so when the time limit cut the phase short. Returns 0, or 1.
int closeCreate(Run* run, RunResults* r) {
  const RunSettings& s = *run->settings;
  if (run->refused.size() >= run->plan.maxRefused) {
    char path[kPathSize];
    filePath(run->plan.layout, run->refused.front(), path);
    logMessage(
        "Error: %zu names in the tree hold entries that the run did not make, "
        "as many as it keeps track of (first: %s): it removes its own files "
        "and stops\n",
        run->refused.size(), path);
    removeTree(run);
    return 1;
  }
  const uint64_t n = run->plan.nbFiles;
  if ((*r)[Phase::Create].stats.timeUp && n < s.nbFiles) {
    r->stoppedByTimeLimit = true;
    logMessage("Stopped by the time limit after %llu of %llu files\n", ull(n),
               ull(s.nbFiles));
  }
  return 0;
}

// Runs ls -R in the tree, which goes over every file the create phase began
// or, when ls fails, none.
uint64_t listFiles(Run* run, RunResults* r, const PhaseStart& start) {
  PhaseResult& list = (*r)[Phase::List];
  const char* const lsArgs[] = {"ls", "-R", nullptr};
  list.command = runCommand("ls", run->lsPath[0] ? run->lsPath : nullptr,
                            lsArgs, run->workFd, run->launcher);
  list.ran = list.command->ran;
  list.files = (*r)[Phase::Create].files;
  list.stats.failures.count = list.command->succeeded() ? 0 : list.files;
  list.stats.handedOut = run->plan.nbFiles;
  list.wallSeconds = list.stats.fileSeconds = secondsSince(start);
  return list.files;
}

// Runs the phase's workers over the files made.
uint64_t workFiles(Run* run, Phase phase, RunResults* r,
                   const PhaseStart& start) {
  PhaseResult& result = (*r)[phase];
  PhasePlan plan = run->plan;
  // A stop lets the delete phase finish: stopping it would leave the tree
  // half removed.
  if (phase == Phase::Delete) plan.stop = &kNeverStop;
  run->runner->run(phase, plan, start.ns, &result.stats);
  return result.files;
}

// Prints the size phase's sizes, the directories' included.
int closeSize(Run* run, RunResults* r) {
  r->fileBlocks = (*r)[Phase::Size].stats.blocks;
  logMessage("Size used by files: %s\n", bytesOf(r->fileBlocks).text);
  r->dirBlocks =
      directoryBlocks(run->workFd, run->plan.layout, run->dirFds.data());
  logMessage("Size used by directory: %s\n", bytesOf(r->dirBlocks).text);
  logMessage("Size used (total): %s\n",
             bytesOf(r->fileBlocks + r->dirBlocks).text);
  return 0;
}

// Removes the directories once their files are gone.
int closeDelete(Run* run, RunResults* r) {
  const PhaseStart start = {monotonicNs(), outputNs()};
  const TreeLayout& layout = run->plan.layout;
  removeDirectories(run->workFd, layout, run->dirFds.data(), &r->dirsRemoved);
  r->dirRemoveSeconds = secondsSince(start);
  warn(r->dirsRemoved, layout.dirs, layout, false, "removed", 0);
  return 0;
}

// One phase of an iteration, as the iteration's loop runs it.
struct PhaseRow {
  Phase phase;
  const char* stopName;  // in the Interrupted line
  // The start line's beginning, before the count of files (the listing has
  // none) and the clock.
  const char* starting;
  // What could not be done to a file that failed ("created"); null where
  // the phase has no per-file warning.
  const char* verb;
  int coldAt;            // the --drop-caches count that makes it start cold
  bool pausesBefore;     // --pause stops the run just before it
  bool measuresSpace;    // statfs before and after it
  bool finishesOnStop;   // a stop lets it finish, and ends the run after it
  const char* doneLine;  // a report template; null for none
  // Whether it runs, `keep` being whether this iteration keeps its files.
  bool (*runs)(const RunSettings& s, bool keep);
  // From its start line to its warnings: fills its result and returns the
  // files its failures count against.
  uint64_t (*work)(Run* run, RunResults* r, const PhaseStart& start);
  // After its warnings, unless it was stopped, before its Done line: returns
  // 0 to go on, else the exit status. Null for nothing.
  int (*close)(Run* run, RunResults* r);
};

bool always(const RunSettings&, bool) { return true; }

const PhaseRow kPhaseRows[] = {
    {Phase::Create, "create", "Creating", "created", 0, false, true, false,
     kDoneLine, always, createFiles, closeCreate},
    {Phase::List, "listing", "Doing `ls -R`", nullptr, 1, false, false, false,
     nullptr, always, listFiles, nullptr},
    {Phase::Size, "size", "Compute size used by", "measured", 1, false, false,
     false, kDoneLine, always,
     [](Run* run, RunResults* r, const PhaseStart& start) {
       return workFiles(run, Phase::Size, r, start);
     },
     closeSize},
    {Phase::Read, "read", "Reading", "read", 1, false, false, false, kDoneLine,
     [](const RunSettings& s, bool) { return s.readBack; },
     [](Run* run, RunResults* r, const PhaseStart& start) {
       return workFiles(run, Phase::Read, r, start);
     },
     nullptr},
    // One newline after the last phase's Done line.
    {Phase::Delete, "delete", "Deleting", "deleted", 2, true, false, true,
     "Done, time spent: %L\n",
     [](const RunSettings&, bool keep) { return !keep; },
     [](Run* run, RunResults* r, const PhaseStart& start) {
       return workFiles(run, Phase::Delete, r, start);
     },
     closeDelete},
};

// Stops the process until a SIGCONT, where --pause asks for it.
void pauseRun(const Run& run) {
  const std::vector<std::string>& hosts = run.context.topology.hosts;
  // Where several processes run, the others wait for this one, on its host.
  const std::string host = hosts.empty() ? "" : " on " + hosts[0];
  logMessage("Paused before deleting: kill -CONT %d%s to go on\n",
             static_cast<int>(getpid()), host.c_str());
  kill(getpid(), SIGSTOP);
}

// Prints the warnings of a phase's files: those that failed, then those that
// differ from what was written, which have a warning of their own.
void warnFiles(const Run& run, const PhaseRow& row, const PhaseStats& stats,
               uint64_t total) {
  const TreeLayout& layout = run.plan.layout;
  if (stats.failures.count > stats.differs.count) {
    warn(stats.failures, total, layout, true, row.verb,
         run.settings->openFlags);
  }
  if (stats.differs.count != 0) {
    char path[kPathSize];
    filePath(layout, stats.differs.firstIndex, path);
    logMessage(
        "Warning: %llu of %llu files differ from what was written (first: %s "
        "at byte %llu)\n",
        ull(stats.differs.count), ull(total), path,
        ull(stats.differs.firstOffset));
  }
}

// Runs the phase of `row` into `r`. Returns 0, or the exit status when the
// run ends: after a stop signal, having removed the tree unless the phase
// finishes on a stop.
int runPhaseRow(Run* run, const PhaseRow& row, RunResults* r) {
  const RunSettings& s = *run->settings;
  PhaseResult& result = (*r)[row.phase];
  if (row.pausesBefore && s.pause) pauseRun(*run);
  if (row.coldAt > 0 && s.dropCaches >= row.coldAt) {
    result.cold = dropCaches(run->workFd, run->dropFd);
  }
  SpaceInUse before;
  const bool measured = row.measuresSpace && spaceInUse(run->workFd, &before);
  const uint64_t total = run->plan.nbFiles;
  const bool byFile = phaseWorker(row.phase) != nullptr;
  if (byFile) planPhase(run, row.phase, total);
  char count[32] = "";
  if (byFile) snprintf(count, sizeof count, " %llu files", ull(total));
  logMessage("%s%s, started at %s...\n", row.starting, count, clockNow().text);
  const PhaseStart start = startPhase(&result, madeFiles(*run));
  const uint64_t among = row.work(run, r, start);
  if (row.verb != nullptr) warnFiles(*run, row, result.stats, among);
  if (!row.finishesOnStop && stopSignal() != 0) {
    removeTree(run);
    const uint64_t done =
        std::min(filesBegun(result.stats, result.stats.handedOut), total);
    return stopped(run, row.stopName, done, total);
  }
  const int status = row.close != nullptr ? row.close(run, r) : 0;
  if (status != 0) return status;
  if (row.doneLine != nullptr) endPhase(&result, start, row.doneLine);
  SpaceInUse after;
  if (row.measuresSpace) {
    // Other users of the file system count too: a shared one blurs it.
    r->spaceMeasured = measured && spaceInUse(run->workFd, &after);
    r->bytesUsed = after.bytes - before.bytes;
    r->inodesUsed = after.inodes - before.inodes;
  }
  // The phase went to its end; nothing is left to clean up.
  if (row.finishesOnStop && stopSignal() != 0) {
    return stopped(run, row.stopName, total, total);
  }
  return 0;
}

// Runs the phases of one iteration into `r`; the files and directories stay
// when `keep`. Returns 0, or the exit status when the run ends.
int runIteration(Run* run, RunResults* r, bool keep) {
  run->plan.nbFiles = run->settings->nbFiles;
  run->refused.clear();
  for (const PhaseRow& row : kPhaseRows) {
    if (!row.runs(*run->settings, keep)) continue;
    const int status = runPhaseRow(run, row, r);
    if (status != 0) return status;
  }
  return 0;
}

}  // namespace

int stopSignal() { return stopCode.load() & 0xff; }

int stopRank() { return stopCode.load() >> 8; }

void installStopHandlers() {
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void requestStop(int signal, int rank) { setStop(signal, rank); }

int worstStatus(int a, int b) {
  auto severity = [](int status) {
    return status > 2 ? 3 : status == 1 ? 2 : status == 2 ? 1 : 0;
  };
  return severity(b) > severity(a) ? b : a;
}

bool raiseDescriptorLimit(unsigned dirs) {
  const rlim_t needed = dirs + 64;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) {
    return true;
  }
  // Root may raise the hard limit too; others go as far as it allows.
  struct rlimit raised = {needed, std::max(limit.rlim_max, needed)};
  if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return true;
  limit.rlim_cur = std::min(limit.rlim_max, needed);
  if (setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= needed) {
    return true;
  }
  logMessage(
      "%u directories need %llu open files, and the limit is %llu: raise it "
      "(ulimit -Hn) or use fewer --dirs\n",
      dirs, ull(needed), ull(limit.rlim_max));
  return false;
}

PhasePlan runPlan(const RunSettings& s) {
  PhasePlan plan;
  plan.nbFiles = s.nbFiles;
  plan.layout = computeLayout(s.nbFiles, s.timeLimit > 0, s.dirs);
  plan.openFlags = s.openFlags;
  plan.fileSize = s.fileSize;
  plan.threads = s.threads;
  plan.syncFiles = s.sync == kSyncFile;
  plan.progress = s.progress;
  return plan;
}

FileOrder phaseOrder(const RunSettings& s, uint64_t seed, Phase phase,
                     uint64_t files) {
  // The streams of earlier versions (create 0, size 1, read 2, delete 3),
  // so that a seed gives the same orders.
  static const unsigned kStreams[kNbPhases] = {0, 0, 1, 2, 3};
  if (!s.randomOrder || phaseWorker(phase) == nullptr) return FileOrder{};
  return randomOrder(seed, kStreams[static_cast<int>(phase)], files, s.nbFiles);
}

std::string failureText(const PhaseFailures& failures, uint64_t total,
                        const TreeLayout& layout, bool files, const char* verb,
                        int openFlags) {
  if (failures.count == 0) return "";
  char path[kPathSize];
  if (files) {
    filePath(layout, failures.firstIndex, path);
  } else {
    dirName(layout, static_cast<unsigned>(failures.firstIndex), path);
  }
  char offset[48] = "";
  if (failures.firstError == kContentDiffers) {
    snprintf(offset, sizeof offset, " at byte %llu", ull(failures.firstOffset));
  }
  bool directIo = failures.firstError == EINVAL &&
                  (strcmp(failures.firstCall, "open") == 0 ||
                   strcmp(failures.firstCall, "write") == 0) &&
                  (openFlags & O_DIRECT) != 0;
  char text[512];
  snprintf(text, sizeof text,
           "Warning: %llu of %llu %s could not be %s (first: %s(%s): %s%s)%s\n",
           ull(failures.count), ull(total), files ? "files" : "directories",
           verb, failures.firstCall, path, failureError(failures.firstError),
           offset,
           directIo ? "; the file system may refuse direct I/O: try "
                      "--no-direct-io"
                    : "");
  return text;
}

std::string leftoverText(const LeftoverTally& tally,
                         const std::string& workDir) {
  std::string text = "Removed " + std::to_string(tally.files) + " files and " +
                     std::to_string(tally.dirs) +
                     " directories of a run from '" + workDir + "'\n";
  if (tally.stayed == 0) return text;
  text += "Warning: " + std::to_string(tally.stayed) + " entries stay:\n";
  for (const std::string& row : tally.firstStayed) text += "  " + row + "\n";
  if (tally.stayed > tally.firstStayed.size()) {
    text += "  and " + std::to_string(tally.stayed - tally.firstStayed.size()) +
            " more\n";
  }
  return text;
}

int runBenchmark(const RunSettings& s, PhaseRunner* runner,
                 const Launcher& launcher) {
  if (s.cleanup) return cleanUp(s);
  if (s.storedPath) {
    return compareStored(*s.comparePath, *s.storedPath,
                         s.threshold.value_or(5));
  }
  Run run;
  run.launcher = launcher;
  if (prepareRun(s, runner, &run) != 0) return 1;
  const Topology& topology = run.context.topology;
  char times[32] = "";
  if (s.iterations > 1) {
    snprintf(times, sizeof times, ", %llu times", ull(s.iterations));
  }
  logMessage("treeflood will create %s%llu files with %u thread%s%s\n",
             s.dontDeleteFiles ? "" : "and delete ", ull(s.nbFiles),
             topology.threads, topology.threads >= 2 ? "s" : "", times);
  if (!topology.hosts.empty()) {
    logMessage("%s\n", ranksLine(topology.hosts).c_str());
  }
  if (s.randomOrder) logMessage("In random order, seed %llu\n", ull(run.seed));
  logMessage("Version: %s, build: %s %s\n\n", kVersion, kBuildDate, kBuildTime);

  std::vector<RunResults> iterations;
  int status = 0;
  for (uint64_t i = 1; i <= s.iterations; ++i) {
    if (s.iterations > 1) {
      logMessage("%sIteration %llu of %llu\n", i > 1 ? "\n" : "", ull(i),
                 ull(s.iterations));
    }
    RunResults& r = iterations.emplace_back();
    const int ended =
        runIteration(&run, &r, i == s.iterations && s.dontDeleteFiles);
    if (ended > 128) {
      // The figures of the iterations that finished are still written.
      iterations.pop_back();
      run.context.interruption = {stopSignal(), i};
      status = worstStatus(status, ended);
      break;
    }
    if (!runValid(r, topology.threads)) status = worstStatus(status, 1);
    if (run.csvFd >= 0 && !appendCsv(run.csvFd, csvRows(r, i, run.context))) {
      logMessage("Failed to append the results to '%s': %s\n",
                 run.csvPath.c_str(), strerror(errno));
      status = worstStatus(status, 1);
    }
    // The run stopped, and its last iteration is written as far as it got.
    if (ended != 0) {
      status = worstStatus(status, ended);
      break;
    }
  }

  if (s.summary && !iterations.empty()) {
    // One blank line between the last "Done" line and the table, as between
    // phases.
    logMessage(
        "%s%s", s.dontDeleteFiles || run.stoppedIn ? "" : "\n",
        summaryText(iterations, topology.hosts, workloadText(s, run.seed))
            .c_str());
    if (run.stoppedIn) {
      logMessage(
          "Interrupted: these are the figures of the %zu iteration%s that "
          "finished\n",
          iterations.size(), iterations.size() > 1 ? "s" : "");
    }
  }
  // The comparison reads this run as it reads a stored result, so that both
  // give the same verdicts.
  Comparison comparison;
  if (s.comparePath && !iterations.empty()) {
    StoredResult now;
    std::string error;
    readResult(jsonText(iterations, run.context), &now, &error);
    comparison = compareResults(run.baseline, now, s.threshold.value_or(5));
    run.context.comparison = &comparison;
    logMessage("\n%s", comparisonText(comparison, *s.comparePath).c_str());
  }
  if ((s.summary || s.comparePath) && !iterations.empty()) {
    for (const std::string& w : runWarnings(
             iterations, threadsHere(run.context), run.context.system.cpus)) {
      logMessage("Warning: %s\n", w.c_str());
    }
  }
  if (s.jsonPath &&
      !writeFile(run.jsonPath, jsonText(iterations, run.context))) {
    logMessage("Failed to write the results to '%s': %s\n",
               run.jsonPath.c_str(), strerror(errno));
    status = worstStatus(status, 1);
  }
  // Last, so that an interrupted run's output ends with it; where several
  // processes ran, with the one that received the signal.
  if (run.stoppedIn) {
    const std::vector<std::string>& hosts = topology.hosts;
    const size_t rank = static_cast<size_t>(stopRank());
    const std::string where =
        rank < hosts.size()
            ? " on rank " + std::to_string(rank) + " (" + hosts[rank] + ")"
            : "";
    logMessage(
        "Interrupted by SIG%s in the %s phase after %llu of %llu files%s\n",
        sigabbrev_np(stopSignal()), run.stoppedIn, ull(run.stoppedAfter),
        ull(run.stoppedOf), where.c_str());
  }
  return comparison.regressed ? worstStatus(status, 2) : status;
}

}  // namespace treeflood
