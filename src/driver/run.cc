#include "driver/run.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "console/output.h"
#include "driver/checks.h"
#include "driver/csv.h"
#include "driver/json.h"
#include "driver/messages.h"
#include "driver/paths.h"
#include "driver/phases.h"
#include "driver/result_files.h"
#include "driver/stop.h"
#include "driver/summary.h"
#include "work/layout.h"
#include "work/leftovers.h"

namespace treeflood {

namespace {

// --cleanup: removes what a killed run of this user left in the working
// directory, under a run's lock. Returns 0, or 1 when anything stays.
int cleanUp(const RunSettings& s) {
  WorkDir dir;
  if (const Failure f = openWorkDir(s, &dir)) {
    logMessage("%s", f.message.c_str());
    return 1;
  }
  if (dir.lockError != 0) logMessage("%s", lockWarning(dir.lockError).c_str());
  LeftoverTally tally;
  removeLeftovers(dir.fd.get(), &tally);
  logMessage("%s", leftoverText(tally, dir.path).c_str());
  return tally.stayed == 0 ? 0 : 1;
}

// The side of a side-by-side run that takes turn `turn` (from 0): A B B A,
// then again, so that each side comes first in as many pairs as the other
// and a drift of the host over the run weighs on both alike.
size_t sideOfTurn(uint64_t turn) { return ((turn >> 1) ^ turn) & 1; }

// Whether `dir` lies in a directory of the tree that a run in `work` makes
// (`work`/d_001/...), whose delete phase would remove it. Both are absolute,
// their links resolved.
bool inTreeOf(const std::string& dir, const std::string& work,
              const TreeLayout& layout) {
  const std::string prefix = work == "/" ? work : work + "/";
  if (dir.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string first =
      dir.substr(prefix.size(), dir.find('/', prefix.size()) - prefix.size());
  char* end = nullptr;
  const unsigned long index =
      first.compare(0, 2, "d_") == 0 ? strtoul(first.c_str() + 2, &end, 16) : 0;
  if (end == nullptr || *end != '\0' || index >= layout.dirs) return false;
  char name[kDirNameSize];
  dirName(layout, static_cast<unsigned>(index), name);
  return first == name;
}

// Reads the --compare baseline at `path` and checks that it ran the workload
// of `context`'s run.
Failure loadBaseline(const std::string& path, const RunContext& context,
                     StoredResult* baseline) {
  std::string error;
  if (!loadResult(path, baseline, &error)) {
    return failure("Can't compare with '%s': %s\n", path.c_str(),
                   error.c_str());
  }
  const std::string why = unusableReason(*baseline);
  if (!why.empty()) {
    return failure("Can't compare with '%s': %s\n", path.c_str(), why.c_str());
  }
  Failure refused;
  for (const std::string& d :
       workloadDifferences(*baseline, resultOf({}, context))) {
    refused.message += "Can't compare with '" + path +
                       "': the workloads differ in " + d + "\n";
  }
  // The phases this run will have.
  const RunSettings& s = *context.settings;
  const bool ran[kNbPhases] = {true, true, true, s.readBack,
                               !s.dontDeleteFiles};
  for (const std::string& d : phaseDifferences(*baseline, ran)) {
    refused.message += "Can't compare with '" + path + "': " + d + "\n";
  }
  return refused;
}

// The checks of a run, in the order they are made: those of the settings
// alone, then those of the working directory; nothing is made either way.
Failure checkRun(const RunSettings& s, Run* run) {
  // Only root may drop the caches: better to say so before anything is made.
  if (s.dropCaches > 0) {
    if (Failure f = openDropCaches(&run->dropFd)) return f;
  }
  // Each side's directories stay open while the other side runs when the
  // last iterations keep their files.
  if (Failure f = raiseDescriptorLimit(s.againstDir ? 2 * s.dirs : s.dirs)) {
    return f;
  }
  if (Failure f = openWorkDir(s, &run->work)) return f;
  if (run->work.lockError != 0) {
    logMessage("%s", lockWarning(run->work.lockError).c_str());
  }
  if (s.directIo) {
    if (Failure f = checkDirectIo(run->work, s.fileSize)) return f;
  }
  // The output files are checked before anything is made, so that a run
  // can't end without its results.
  return checkOutputs(run->work, run->jsonPath, run->csvPath);
}

// Everything a run needs before its first iteration: the output paths, ls,
// the caches' switch, the working directory and its lock, the direct-I/O
// probe, the baseline, the stop signals and the plan; `side` names the side
// of a side-by-side run.
Failure prepareRun(const RunSettings& s, PhaseRunner* runner, Run* run,
                   const char* side = nullptr) {
  run->settings = &s;
  run->runner = runner;
  // Resolved where the user is: a relative JSON path names a file there, and
  // a relative PATH entry a directory there, never one in the tree.
  if (s.jsonPath) run->jsonPath = absolutePath(*s.jsonPath);
  if (s.csvPath) run->csvPath = absolutePath(*s.csvPath);
  if (!findOnPath(getenv("PATH"), "ls", run->lsPath, sizeof run->lsPath)) {
    run->lsPath[0] = '\0';
  }
  if (Failure f = checkRun(s, run)) return f;
  // A seed of the run's own unless one was given: printed and stored, so
  // that the run can be repeated.
  run->seed = (s.randomOrder || s.randomData) && !s.seed ? randomSeed()
                                                         : s.seed.value_or(0);
  if (s.randomData && !makeRandomData(run->seed, &run->data)) {
    return failure("mmap(random data): %s\n", strerror(errno));
  }
  // The system as it was before the run: its free space, above all.
  run->context.settings = &s;
  run->context.seed = run->seed;
  run->context.side = side;
  run->context.workDir = run->work.path;
  run->context.system = systemInfo(run->work.fd.get(), run->work.path);
  run->context.topology = runner->topology();
  if (s.comparePath) {
    if (Failure f =
            loadBaseline(*s.comparePath, run->context, &run->baseline)) {
      return f;
    }
    run->context.baselinePath = absolutePath(*s.comparePath);
  }
  installStopHandlers();
  run->plan = runPlan(s);
  run->context.layout = run->plan.layout;
  run->plan.timeFiles = s.summary || s.jsonPath.has_value();
  run->dirFds.fds.assign(s.dirs, -EBADF);
  run->plan.dirFds = run->dirFds.data();
  run->plan.refused = &run->refused;
  if (s.randomData) run->plan.data = &run->data;
  run->plan.stop = &stopRequested;
  return {};
}

// The lines before the first iteration: what the run will do, where, in
// which order, and with which build; with two `sides`, the directories of
// each.
void printBanner(const Run* const* sides, size_t nbSides) {
  const Run& run = *sides[0];
  const RunSettings& s = *run.settings;
  const Topology& topology = run.context.topology;
  char times[64] = "";
  if (nbSides > 1) {
    snprintf(times, sizeof times,
             ", %" PRIu64 " times in each of 2 directories", s.iterations);
  } else if (s.iterations > 1) {
    snprintf(times, sizeof times, ", %" PRIu64 " times", s.iterations);
  }
  logMessage("treeflood will create %s%" PRIu64 " files with %u thread%s%s\n",
             s.dontDeleteFiles ? "" : "and delete ", s.nbFiles,
             topology.threads, topology.threads >= 2 ? "s" : "", times);
  if (nbSides > 1) {
    logMessage("Side by side, in turns A B B A: A is %s, B is %s\n",
               sides[0]->context.workDir.c_str(),
               sides[1]->context.workDir.c_str());
  }
  if (!topology.hosts.empty()) {
    logMessage("%s\n", ranksLine(topology.hosts).c_str());
  }
  if (s.randomOrder || s.randomData) {
    logMessage("%s, seed %" PRIu64 "\n",
               !s.randomData   ? "In random order"
               : s.randomOrder ? "In random order, with random data"
                               : "With random data",
               run.seed);
  }
  logMessage("Version: %s, build: %s %s\n\n", kVersion, kBuildDate, kBuildTime);
}

// Runs the iterations of the `nbSides` sides (1, or 2 side by side, in
// turns) into their `iterations`, appending each one's CSV rows to the
// first side's file. Returns the exit status so far.
int runIterations(Run* const* sides, size_t nbSides,
                  std::vector<RunResults>* iterations) {
  const RunSettings& s = *sides[0]->settings;
  const Run& first = *sides[0];
  int status = 0;
  for (uint64_t turn = 0; turn < s.iterations * nbSides; ++turn) {
    const size_t side = nbSides > 1 ? sideOfTurn(turn) : 0;
    Run* run = sides[side];
    std::vector<RunResults>& done = iterations[side];
    const uint64_t i = done.size() + 1;
    if (s.iterations > 1) {
      const std::string where = run->context.side != nullptr
                                    ? std::string(", ") + run->context.side +
                                          ": " + run->context.workDir
                                    : "";
      logMessage("%sIteration %" PRIu64 " of %" PRIu64 "%s\n",
                 turn > 0 ? "\n" : "", i, s.iterations, where.c_str());
    }
    RunResults& r = done.emplace_back();
    const int ended =
        runIteration(run, &r, i == s.iterations && s.dontDeleteFiles);
    if (run->stoppedIn != nullptr) {
      // The figures of the iterations that finished are still written; each
      // side's result says where the stop came.
      done.pop_back();
      for (size_t k = 0; k < nbSides; ++k) {
        sides[k]->context.interruption = {
            stopSignal(), iterations[k].size() + 1, run->stalledRank};
      }
      return worstStatus(status, ended);
    }
    if (!runValid(r, run->context.topology.threads)) {
      status = worstStatus(status, 1);
    }
    if (first.csvFd &&
        !appendCsv(first.csvFd.get(), csvRows(r, i, run->context))) {
      logMessage("Failed to append the results to '%s': %s\n",
                 first.csvPath.c_str(), strerror(errno));
      status = worstStatus(status, 1);
    }
    // The run stopped, and its last iteration is written as far as it got.
    if (ended != 0) return worstStatus(status, ended);
  }
  return status;
}

// What follows the iterations of the `nbSides` sides: the summary, the
// comparison (with the baseline, or of B with A), the warnings and the JSON
// file. Returns 2 when the comparison finds a regression, 1 when the JSON
// file can't be written (before that), else 0.
int reportRun(Run* const* sides, size_t nbSides,
              const std::vector<RunResults>* iterations) {
  Run& run = *sides[0];
  const RunSettings& s = *run.settings;
  bool stopped = false, finished = true;
  for (size_t k = 0; k < nbSides; ++k) {
    stopped = stopped || sides[k]->stoppedIn != nullptr;
    finished = finished && !iterations[k].empty();
  }
  int status = 0;
  if (s.summary) {
    // One blank line between the last "Done" line and the table, as between
    // phases.
    std::string text;
    for (size_t k = 0; k < nbSides; ++k) {
      const RunContext& c = sides[k]->context;
      if (iterations[k].empty()) continue;
      if (c.side != nullptr) {
        text += formatted("%sSide %s: %s\n", text.empty() ? "" : "\n", c.side,
                          c.workDir.c_str());
      }
      text += summaryText(iterations[k], c.topology.hosts,
                          k + 1 == nbSides ? workloadText(s, run.seed) : "");
    }
    if (!text.empty()) {
      logMessage("%s%s", s.dontDeleteFiles || stopped ? "" : "\n",
                 text.c_str());
    }
    size_t count = 0;
    for (size_t k = 0; k < nbSides; ++k) count += iterations[k].size();
    if (stopped && count != 0) {
      logMessage(
          "Interrupted: these are the figures of the %zu iteration%s that "
          "finished\n",
          count, count > 1 ? "s" : "");
    }
  }
  // The comparison takes this run's figures as it takes a stored result's,
  // so that both give the same verdicts.
  Comparison comparison;
  const double threshold = s.threshold.value_or(5);
  if (nbSides > 1 && finished) {
    comparison =
        compareSides(resultOf(iterations[0], sides[0]->context),
                     resultOf(iterations[1], sides[1]->context), threshold);
    logMessage("\n%s", comparisonText(comparison,
                                      sidesTitle(sides[0]->context.workDir,
                                                 sides[1]->context.workDir),
                                      true)
                           .c_str());
  } else if (s.comparePath && finished) {
    comparison = compareResults(
        run.baseline, resultOf(iterations[0], run.context), threshold);
    run.context.comparison = &comparison;
    logMessage(
        "\n%s",
        comparisonText(comparison, "Compared with " + *s.comparePath).c_str());
  }
  for (size_t k = 0; k < nbSides && (s.summary || s.comparePath || nbSides > 1);
       ++k) {
    const RunContext& c = sides[k]->context;
    const std::string prefix =
        c.side != nullptr ? std::string("side ") + c.side + ": " : "";
    for (const std::string& w : runWarnings(iterations[k], threadsHere(c),
                                            c.system.cpus, nbSides > 1)) {
      logMessage("Warning: %s%s\n", prefix.c_str(), w.c_str());
    }
  }
  if (s.jsonPath) {
    const std::string text =
        nbSides > 1
            ? sidesJsonText(iterations[0], sides[0]->context, iterations[1],
                            sides[1]->context, finished ? &comparison : nullptr)
            : jsonText(iterations[0], run.context);
    if (!writeFile(run.jsonPath, text)) {
      logMessage("Failed to write the results to '%s': %s\n",
                 run.jsonPath.c_str(), strerror(errno));
      status = worstStatus(status, 1);
    }
  }
  return comparison.regressed ? worstStatus(status, 2) : status;
}

}  // namespace

int worstStatus(int a, int b) {
  auto severity = [](int status) {
    return status > 2 ? 3 : status == 1 ? 2 : status == 2 ? 1 : 0;
  };
  return severity(b) > severity(a) ? b : a;
}

int runBenchmark(const RunSettings& s, PhaseRunner* runner,
                 const Launcher& launcher) {
  // Side B runs with A's settings in its own directory, and with A's seed.
  RunSettings against = s;
  if (s.againstDir) against.workDir = s.againstDir;
  if (s.cleanup) {
    const int status = cleanUp(s);
    return s.againstDir ? worstStatus(status, cleanUp(against)) : status;
  }
  if (s.storedPath) {
    return compareStored(s.comparePath.value_or(""), *s.storedPath,
                         s.threshold.value_or(5));
  }
  Run runs[2];
  Run* const sides[2] = {&runs[0], &runs[1]};
  const size_t nbSides = s.againstDir ? 2 : 1;
  for (size_t k = 0; k < nbSides; ++k) {
    runs[k].launcher = launcher;
    if (k == 1) against.seed = runs[0].seed;
    // Its lock would say that another run works there.
    struct stat a, b;
    const Failure f =
        k == 1 && fstat(runs[0].work.fd.get(), &a) == 0 &&
                stat(s.againstDir->c_str(), &b) == 0 && a.st_dev == b.st_dev &&
                a.st_ino == b.st_ino
            ? failure("--against names the working directory itself (%s)\n",
                      runs[0].work.path.c_str())
            : prepareRun(k == 0 ? s : against, runner, &runs[k],
                         nbSides > 1 ? (k == 0 ? "A" : "B") : nullptr);
    if (f) {
      logMessage("%s", f.message.c_str());
      return 1;
    }
  }
  for (size_t k = 0; nbSides > 1 && k < 2; ++k) {
    const std::string &a = runs[k].work.path, &b = runs[1 - k].work.path;
    if (inTreeOf(b, a, runs[k].plan.layout)) {
      logMessage(
          "%s lies in the tree of %s, whose delete phase would remove it\n",
          b.c_str(), a.c_str());
      return 1;
    }
  }
  // Opened after the checks that refuse a run, so that a refused one leaves
  // no empty file; both sides' rows go into it.
  if (s.csvPath) {
    if (const Failure f = openCsv(runs[0].csvPath, &runs[0].csvFd)) {
      logMessage("%s", f.message.c_str());
      return 1;
    }
  }
  printBanner(sides, nbSides);
  std::vector<RunResults> iterations[2];
  int status = runIterations(sides, nbSides, iterations);
  status = worstStatus(status, reportRun(sides, nbSides, iterations));
  // Last, so that an interrupted run's output ends with it; where several
  // processes ran, with the one that received the signal.
  for (const Run& run : runs) {
    if (!run.stoppedIn || run.stalledRank >= 0) continue;
    const std::vector<std::string>& hosts = run.context.topology.hosts;
    const size_t rank = static_cast<size_t>(stopRank());
    const RunContext& c = run.context;
    const std::string where =
        rank < hosts.size()
            ? " on rank " + std::to_string(rank) + " (" + hosts[rank] + ")"
        : c.side != nullptr
            ? std::string(" (side ") + c.side + ": " + c.workDir + ")"
            : "";
    logMessage("Interrupted by SIG%s in the %s phase after %" PRIu64
               " of %" PRIu64 " files%s\n",
               sigabbrev_np(stopSignal()), run.stoppedIn, run.stoppedAfter,
               run.stoppedOf, where.c_str());
  }
  return status;
}

}  // namespace treeflood
