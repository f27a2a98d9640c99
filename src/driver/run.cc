#include "driver/run.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
  if (Failure f = raiseDescriptorLimit(s.dirs)) return f;
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
// probe, the baseline, the CSV file, the stop signals and the plan.
Failure prepareRun(const RunSettings& s, PhaseRunner* runner, Run* run) {
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
  // Opened after the checks that refuse a run, so that a refused one leaves
  // no empty file.
  if (s.csvPath) {
    if (Failure f = openCsv(run->csvPath, &run->csvFd)) return f;
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
// which order, and with which build.
void printBanner(const Run& run) {
  const RunSettings& s = *run.settings;
  const Topology& topology = run.context.topology;
  char times[32] = "";
  if (s.iterations > 1) {
    snprintf(times, sizeof times, ", %" PRIu64 " times", s.iterations);
  }
  logMessage("treeflood will create %s%" PRIu64 " files with %u thread%s%s\n",
             s.dontDeleteFiles ? "" : "and delete ", s.nbFiles,
             topology.threads, topology.threads >= 2 ? "s" : "", times);
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

// Runs the iterations into `iterations`, appending each one's CSV rows.
// Returns the exit status so far.
int runIterations(Run* run, std::vector<RunResults>* iterations) {
  const RunSettings& s = *run->settings;
  int status = 0;
  for (uint64_t i = 1; i <= s.iterations; ++i) {
    if (s.iterations > 1) {
      logMessage("%sIteration %" PRIu64 " of %" PRIu64 "\n", i > 1 ? "\n" : "",
                 i, s.iterations);
    }
    RunResults& r = iterations->emplace_back();
    const int ended =
        runIteration(run, &r, i == s.iterations && s.dontDeleteFiles);
    if (run->stoppedIn != nullptr) {
      // The figures of the iterations that finished are still written.
      iterations->pop_back();
      run->context.interruption = {stopSignal(), i, run->stalledRank};
      return worstStatus(status, ended);
    }
    if (!runValid(r, run->context.topology.threads)) {
      status = worstStatus(status, 1);
    }
    if (run->csvFd &&
        !appendCsv(run->csvFd.get(), csvRows(r, i, run->context))) {
      logMessage("Failed to append the results to '%s': %s\n",
                 run->csvPath.c_str(), strerror(errno));
      status = worstStatus(status, 1);
    }
    // The run stopped, and its last iteration is written as far as it got.
    if (ended != 0) return worstStatus(status, ended);
  }
  return status;
}

// What follows the iterations: the summary, the comparison, the warnings and
// the JSON file. Returns 2 when the comparison finds a regression, 1 when
// the JSON file can't be written (before that), else 0.
int reportRun(Run& run, const std::vector<RunResults>& iterations) {
  const RunSettings& s = *run.settings;
  const Topology& topology = run.context.topology;
  int status = 0;
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
  // The comparison takes this run's figures as it takes a stored result's,
  // so that both give the same verdicts.
  Comparison comparison;
  if (s.comparePath && !iterations.empty()) {
    comparison = compareResults(run.baseline, resultOf(iterations, run.context),
                                s.threshold.value_or(5));
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
  if (s.cleanup) return cleanUp(s);
  if (s.storedPath) {
    return compareStored(*s.comparePath, *s.storedPath,
                         s.threshold.value_or(5));
  }
  Run run;
  run.launcher = launcher;
  if (const Failure f = prepareRun(s, runner, &run)) {
    logMessage("%s", f.message.c_str());
    return 1;
  }
  printBanner(run);
  std::vector<RunResults> iterations;
  int status = runIterations(&run, &iterations);
  status = worstStatus(status, reportRun(run, iterations));
  // Last, so that an interrupted run's output ends with it; where several
  // processes ran, with the one that received the signal.
  if (run.stoppedIn && run.stalledRank < 0) {
    const std::vector<std::string>& hosts = run.context.topology.hosts;
    const size_t rank = static_cast<size_t>(stopRank());
    const std::string where =
        rank < hosts.size()
            ? " on rank " + std::to_string(rank) + " (" + hosts[rank] + ")"
            : "";
    logMessage("Interrupted by SIG%s in the %s phase after %" PRIu64
               " of %" PRIu64 " files%s\n",
               sigabbrev_np(stopSignal()), run.stoppedIn, run.stoppedAfter,
               run.stoppedOf, where.c_str());
  }
  return status;
}

}  // namespace treeflood
