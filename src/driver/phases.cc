#include "driver/phases.h"

#include <errno.h>
#include <inttypes.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "console/clock.h"
#include "console/output.h"
#include "console/report.h"
#include "console/texts.h"
#include "driver/messages.h"
#include "driver/stop.h"
#include "work/directories.h"

namespace treeflood {

namespace {

const char kDoneLine[] = "Done, time spent: %L\n\n";

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

// Prints failureText's warning line for the directories, if there is one.
void warnDirs(const PhaseFailures& failures, const TreeLayout& layout,
              const char* verb) {
  const std::string text = failureText(failures, layout.dirs, layout,
                                       Entries::Directories, verb, false);
  if (!text.empty()) logMessage("%s", text.c_str());
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
// unless they are to be kept: what a stop leaves of the run. The files go as
// in a delete phase, on every thread of every process that ran the phases,
// over the numbers handed out alone.
void removeTree(Run* run) {
  if (run->settings->dontDeleteFiles) return;
  planPhase(run, Phase::Delete, run->plan.nbFiles);
  PhasePlan cleanup = run->plan;
  cleanup.timeFiles = false;
  cleanup.stop = &kNeverStop;
  PhaseStats ignored;  // files that were never made fail to unlink
  run->runner->run(Phase::Delete, cleanup, monotonicNs(), &ignored);
  PhaseFailures dirs;
  const TreeLayout& layout = run->plan.layout;
  removeDirectories(run->work.fd.get(), layout, run->dirFds.data(), &dirs);
  warnDirs(dirs, layout, "removed");
}

// Notes that a stop or a stalled rank ended the run in `phase` after `done`
// of `total` file numbers, and returns the exit status.
int stopped(Run* run, const char* phase, uint64_t done, uint64_t total) {
  run->stoppedIn = phase;
  run->stoppedAfter = done;
  run->stoppedOf = total;
  return run->stalledRank >= 0 ? 1 : 128 + stopSignal();
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
  openDirectories(run->work.fd.get(), layout, DirectoryMode::MakeMissing,
                  run->dirFds.data(), &r->dirsMade, &exposed);
  r->dirMakeSeconds = secondsSince(start);
  warnDirs(r->dirsMade, layout, "made");
  if (exposed.count != 0) {
    char first[kDirNameSize];
    dirName(layout, static_cast<unsigned>(exposed.firstIndex), first);
    logMessage("Warning: %" PRIu64
               " of %u directories were there before the run and others "
               "can write in them (first: %s)\n",
               exposed.count, layout.dirs, first);
  }
  // Only this phase has a deadline, and ends with a syncfs when asked for.
  PhasePlan creation = plan;
  if (s.timeLimit > 0) {
    creation.deadlineNs = start.ns + static_cast<uint64_t>(s.timeLimit * 1e9);
  }
  if (s.sync == kSyncPhase) creation.syncFd = run->work.fd.get();
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
    logMessage("Stopped by the time limit after %" PRIu64 " of %" PRIu64
               " files\n",
               n, s.nbFiles);
  }
  return 0;
}

// Runs ls -R in the tree, which goes over every file the create phase began
// or, when ls fails, none.
uint64_t listFiles(Run* run, RunResults* r, const PhaseStart& start) {
  PhaseResult& list = (*r)[Phase::List];
  const char* const lsArgs[] = {"ls", "-R", nullptr};
  list.command =
      runCommand("ls", run->lsPath[0] ? run->lsPath : nullptr, lsArgs,
                 run->work.fd.get(), run->launcher, run->plan.stop);
  list.ran = list.command->ran;
  // The files made: those whose create failed are not there to list.
  list.files = filesDone((*r)[Phase::Create]);
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
      directoryBlocks(run->work.fd.get(), run->plan.layout, run->dirFds.data());
  logMessage("Size used by directory: %s\n", bytesOf(r->dirBlocks).text);
  logMessage("Size used (total): %s\n",
             bytesOf(r->fileBlocks + r->dirBlocks).text);
  return 0;
}

// Removes the directories once their files are gone.
int closeDelete(Run* run, RunResults* r) {
  const PhaseStart start = {monotonicNs(), outputNs()};
  const TreeLayout& layout = run->plan.layout;
  removeDirectories(run->work.fd.get(), layout, run->dirFds.data(),
                    &r->dirsRemoved);
  r->dirRemoveSeconds = secondsSince(start);
  warnDirs(r->dirsRemoved, layout, "removed");
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
  bool measuresSpace;    // statfs before it (and after, see takeSpace)
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
    logMessage("%s", failureText(stats.failures, total, layout, Entries::Files,
                                 row.verb, run.settings->directIo)
                         .c_str());
  }
  if (stats.differs.count != 0) {
    char path[kPathSize];
    filePath(layout, stats.differs.firstIndex, path);
    logMessage("Warning: %" PRIu64 " of %" PRIu64
               " files differ from what was written (first: %s: %s)\n",
               stats.differs.count, total, path,
               differenceText(stats.differs, layout).c_str());
  }
}

// Where the results are asked for, turns the create phase's reading of the
// space in use into the tree's: a syncfs first, so that what delayed
// allocation holds back counts, then a second reading. Outside every timed
// phase. Other users of the file system count too: a shared one blurs it.
void takeSpace(const Run& run, RunResults* r) {
  const RunSettings& s = *run.settings;
  if (!r->spaceMeasured || !(s.summary || s.jsonPath || s.csvPath)) {
    r->spaceMeasured = false;
    return;
  }
  SpaceInUse after;
  syncfs(run.work.fd.get());
  r->spaceMeasured = spaceInUse(run.work.fd.get(), &after);
  r->bytesUsed = after.bytes - r->bytesUsed;
  r->inodesUsed = after.inodes - r->inodesUsed;
  r->inodesCounted = after.inodesCounted;
}

// Runs the phase of `row` into `r`. Returns 0, or the exit status when the
// run ends: after a stop signal, having removed the tree unless the phase
// finishes on a stop.
int runPhaseRow(Run* run, const PhaseRow& row, RunResults* r) {
  const RunSettings& s = *run->settings;
  PhaseResult& result = (*r)[row.phase];
  const bool pausing = row.pausesBefore && s.pause;
  run->runner->announce(row.phase, pausing);
  if (pausing) {
    pauseRun(*run);
    run->runner->announce(row.phase, false);
  }
  if (row.coldAt > 0 && s.dropCaches >= row.coldAt) {
    result.cold = run->runner->dropCaches(
        [run] { return dropCaches(run->work.fd.get(), run->dropFd.get()); });
  }
  SpaceInUse before;
  const bool measured =
      row.measuresSpace && spaceInUse(run->work.fd.get(), &before);
  const uint64_t total = run->plan.nbFiles;
  const bool byFile = phaseWorker(row.phase) != nullptr;
  if (byFile) planPhase(run, row.phase, total);
  char count[32] = "";
  if (byFile) snprintf(count, sizeof count, " %" PRIu64 " files", total);
  logMessage("%s%s, started at %s...\n", row.starting, count, clockNow().text);
  const HostReading host = readHost();
  const PhaseStart start = startPhase(&result, madeFiles(*run));
  const uint64_t among = row.work(run, r, start);
  // ls's time, which the launcher's wait took, is ours too.
  const std::optional<CommandResult>& ls = result.command;
  result.host = hostLoad(host, readHost(),
                         ls && ls->ran ? timevalSeconds(ls->usage.ru_utime) +
                                             timevalSeconds(ls->usage.ru_stime)
                                       : 0);
  if (row.verb != nullptr) warnFiles(*run, row, result.stats, among);
  run->stalledRank = result.stats.stalledRank;
  if (run->stalledRank >= 0 || (!row.finishesOnStop && stopSignal() != 0)) {
    removeTree(run);
    const uint64_t done =
        std::min(filesBegun(result.stats, result.stats.handedOut), total);
    return stopped(run, row.stopName, done, total);
  }
  const int status = row.close != nullptr ? row.close(run, r) : 0;
  if (status != 0) return status;
  if (row.doneLine != nullptr) endPhase(&result, start, row.doneLine);
  if (row.measuresSpace) {
    // The reading before, until takeSpace makes it the tree's.
    r->spaceMeasured = measured;
    r->bytesUsed = before.bytes;
    r->inodesUsed = before.inodes;
  }
  // The phase went to its end; nothing is left to clean up.
  if (row.finishesOnStop && stopSignal() != 0) {
    return stopped(run, row.stopName, total, total);
  }
  return 0;
}

}  // namespace

int runIteration(Run* run, RunResults* r, bool keep) {
  run->plan.nbFiles = run->settings->nbFiles;
  run->refused.clear();
  for (const PhaseRow& row : kPhaseRows) {
    if (!row.runs(*run->settings, keep)) continue;
    if (row.phase == Phase::Delete) takeSpace(*run, r);
    const int status = runPhaseRow(run, row, r);
    if (status != 0) return status;
  }
  if (keep) takeSpace(*run, r);
  return 0;
}

PhasePlan runPlan(const RunSettings& s) {
  PhasePlan plan;
  plan.nbFiles = s.nbFiles;
  // Under a time limit, the files made fill every directory.
  plan.layout = computeLayout(
      s.nbFiles, s.timeLimit > 0 ? Spread::Interleaved : Spread::Blocks,
      s.dirs);
  plan.directIo = s.directIo;
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

}  // namespace treeflood
