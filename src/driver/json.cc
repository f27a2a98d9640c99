#include "driver/json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "console/texts.h"
#include "driver/compare.h"
#include "driver/messages.h"
#include "work/layout.h"

namespace treeflood {

namespace {

using Json = nlohmann::ordered_json;

// A figure in JSON to `decimals` decimals, as the nearest double to that
// decimal, which JSON writes in its shortest form: 0.281487, never
// 0.28148700000000004.
Json rounded(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return strtod(text, nullptr);
}

Json seconds(double value) { return rounded(value, 9); }

Json latencyJson(const LatencyHistogram& ticks, double nsPerTick) {
  if (ticks.total == 0) return nullptr;
  Json latency = Json::object();
  for (const Percentile& p : kPercentiles) {
    latency[p.key] = rounded(latencyMicros(ticks, nsPerTick, p.value), 2);
  }
  double mean, stddev;
  latencyMoments(ticks, &mean, &stddev);
  latency["mean"] = rounded(mean * nsPerTick / 1000, 2);
  latency["stddev"] = rounded(stddev * nsPerTick / 1000, 2);
  return latency;
}

Json cpuSeconds(const struct timeval& t) {
  return seconds(static_cast<double>(t.tv_sec) +
                 static_cast<double>(t.tv_usec) / 1e6);
}

// A phase that ran a command: its figures, and what the command used.
// What else the host did during a phase, and this process's CPU time.
Json hostJson(const HostLoad& h) {
  return {
      {"other_cpus", h.known ? Json(rounded(h.otherCpus, 3)) : Json(nullptr)},
      {"steal_cpus", h.known ? Json(rounded(h.stealCpus, 3)) : Json(nullptr)},
      {"load_average", rounded(h.loadAverage, 2)},
      {"user_cpu_seconds", rounded(h.userSeconds, 3)},
      {"system_cpu_seconds", rounded(h.systemSeconds, 3)}};
}

Json commandJson(const PhaseResult& phase) {
  const CommandResult& c = *phase.command;
  if (!c.ran) return nullptr;
  return {{"started_at", phase.startedAt},
          {"wall_seconds", seconds(phase.wallSeconds)},
          {"cold", phase.cold},
          {"files", filesDone(phase)},
          {"files_per_second", phase.wallSeconds > 0
                                   ? rounded(filesPerSecond(phase), 3)
                                   : Json(nullptr)},
          {"exit_status", c.signal ? Json(nullptr) : Json(c.exitStatus)},
          {"signal", c.signal ? Json(c.signal) : Json(nullptr)},
          {"user_cpu_seconds", cpuSeconds(c.usage.ru_utime)},
          {"system_cpu_seconds", cpuSeconds(c.usage.ru_stime)},
          {"max_rss_bytes", int64_t{c.usage.ru_maxrss} * 1024},
          {"host", hostJson(phase.host)},
          {"major_faults", c.usage.ru_majflt},
          {"minor_faults", c.usage.ru_minflt}};
}

// A failure as the JSON names it: its path, call and error.
Json failureJson(const PhaseFailures& f, const TreeLayout& layout) {
  if (f.count == 0) return nullptr;
  char path[kPathSize];
  filePath(layout, f.firstIndex, path);
  return {{"path", path},
          {"call", f.firstCall},
          {"errno", f.firstError},
          {"error", failureError(f.firstError)}};
}

// Each process's share of a phase, where several ran it.
Json ranksJson(const std::vector<RankShare>& shares) {
  Json ranks = Json::array();
  for (const RankShare& share : shares) {
    const uint64_t done = share.files - share.failed;
    ranks.push_back(
        {{"files_done", done},
         {"files_failed", share.failed},
         {"seconds", seconds(share.seconds)},
         {"files_per_second",
          share.seconds > 0
              ? rounded(static_cast<double>(done) / share.seconds, 3)
              : Json(nullptr)}});
  }
  return ranks;
}

// A file phase's figures.
Json phaseJson(Phase kind, const PhaseResult& phase,
               const RunContext& context) {
  const PhaseStats& stats = phase.stats;
  Json timeline = Json::array();
  for (const TimelineSample& t : stats.timeline) {
    timeline.push_back({seconds(t.seconds), t.files});
  }
  Json entry = {
      {"started_at", phase.startedAt},
      {"wall_seconds", seconds(phase.wallSeconds)},
      {"file_seconds", seconds(stats.fileSeconds)},
      {"files", phase.files},
      {"cold", phase.cold},
      {"files_done", filesDone(phase)},
      {"files_failed", stats.failures.count},
      {"threads_run", stats.threadsRun},
      {"first_failure", failureJson(stats.failures, context.layout)},
      {"files_per_second", phase.wallSeconds > 0
                               ? rounded(filesPerSecond(phase), 3)
                               : Json(nullptr)},
      {"file_files_per_second",
       stats.fileSeconds > 0
           ? rounded(static_cast<double>(filesDone(phase)) / stats.fileSeconds,
                     3)
           : Json(nullptr)},
      {"latency_us", latencyJson(stats.latency, stats.nsPerTick)},
      {"timeline", timeline},
      {"host", hostJson(phase.host)}};
  if (!stats.ranks.empty()) entry["ranks"] = ranksJson(stats.ranks);
  if (kind == Phase::Create && context.settings->sync == kSyncPhase) {
    entry["syncfs_error"] =
        stats.syncError != 0 ? Json(strerror(stats.syncError)) : Json(nullptr);
    entry["sync_seconds"] = seconds(stats.syncSeconds);
  }
  if (kind == Phase::Read) {
    const PhaseFailures& d = stats.differs;
    entry["files_differing"] = d.count;
    Json firstDifference = nullptr;
    if (d.count != 0) {
      char path[kPathSize];
      filePath(context.layout, d.firstIndex, path);
      firstDifference = {{"path", path},
                         {"offset", d.firstDifference.at},
                         {"text", differenceText(d, context.layout)}};
    }
    entry["first_difference"] = firstDifference;
  }
  return entry;
}

Json iterationJson(const RunResults& results, const RunContext& context) {
  Json it;
  Json phases = Json::object();
  Json listing = nullptr;
  for (Phase kind : kPhases) {
    const PhaseResult& phase = results[kind];
    if (phase.command) {
      listing = commandJson(phase);
    } else if (phase.ran) {
      phases[phaseName(kind)] = phaseJson(kind, phase, context);
    }
  }
  it["phases"] = phases;
  it["listing"] = listing;
  it["sizes"] = {
      {"files_bytes", results.fileBlocks * 512},
      {"directories_bytes", results.dirBlocks * 512},
      {"total_bytes", (results.fileBlocks + results.dirBlocks) * 512},
      {"bytes_used",
       results.spaceMeasured ? Json(results.bytesUsed) : Json(nullptr)},
      {"inodes_used", results.spaceMeasured && results.inodesCounted
                          ? Json(results.inodesUsed)
                          : Json(nullptr)}};
  it["stopped_by_time_limit"] = results.stoppedByTimeLimit;
  it["directories"] = {
      {"make_seconds", seconds(results.dirMakeSeconds)},
      {"remove_seconds", results[Phase::Delete].ran
                             ? seconds(results.dirRemoveSeconds)
                             : Json(nullptr)},
      {"failed_to_make", results.dirsMade.count},
      {"failed_to_remove", results.dirsRemoved.count}};
  it["valid"] = runValid(results, context.topology.threads);
  return it;
}

}  // namespace

Json settingsJson(const RunContext& run) {
  const RunSettings& settings = *run.settings;
  return {
      {"files", settings.nbFiles},
      {"threads", settings.threads},
      {"threads_total", run.topology.threads},
      {"file_size", settings.fileSize},
      {"iterations", settings.iterations},
      {"working_directory", run.workDir},
      {"direct_io", settings.directIo},
      {"pause", settings.pause},
      {"keep_files", settings.dontDeleteFiles},
      {"time_limit_seconds",
       settings.timeLimit > 0 ? Json(settings.timeLimit) : Json(nullptr)},
      {"drop_caches", settings.dropCaches},
      {"fsync", kSyncNames[settings.sync]},
      {"read", settings.readBack},
      {"directories", settings.dirs},
      {"order", kOrderNames[settings.randomOrder]},
      {"data", kDataNames[settings.randomData]},
      {"seed", settings.randomOrder || settings.randomData ? Json(run.seed)
                                                           : Json(nullptr)}};
}

namespace {

Json systemJson(const SystemInfo& system) {
  return {{"hostname", system.hostname},
          {"kernel", system.kernel},
          {"cpu_model", system.cpuModel},
          {"cpus", system.cpus},
          {"file_system", system.mount.type},
          {"mount_source", system.mount.source},
          {"mount_options", system.mount.options},
          {"super_options", system.mount.superOptions},
          {"block_size", system.blockSize},
          {"free_bytes_before", system.freeBytes},
          {"free_inodes_before", system.freeInodes}};
}

Json spreadJson(const RateSpread& spread) {
  return {{"mean", rounded(spread.mean, 3)},
          {"min", rounded(spread.min, 3)},
          {"max", rounded(spread.max, 3)},
          {"stddev", rounded(spread.stddev, 3)}};
}

// Each phase's rates and latencies over the iterations.
Json summaryJson(const std::vector<RunResults>& iterations) {
  Json summary = Json::object();
  for (Phase kind : kPhases) {
    const RateSpread spread =
        rateSpread(iterationRates(iterations, kind, false));
    if (spread.count == 0) continue;
    Json& phase = summary[phaseName(kind)];
    phase = {{"iterations", spread.count},
             {"files_per_second", spreadJson(spread)},
             {"file_files_per_second",
              spreadJson(rateSpread(iterationRates(iterations, kind, true)))}};
    // ls's files are not timed one by one.
    if (phaseWorker(kind) == nullptr) continue;
    auto merged = mergedLatency(iterations, kind);
    phase["latency_us"] = latencyJson(merged->ticks, merged->nsPerTick);
  }
  return summary;
}

Json comparisonJson(const Comparison& c, const std::string& baselinePath) {
  Json phases = Json::object();
  auto side = [](const RateSpread& spread) {
    return Json{{"mean", rounded(spread.mean, 3)},
                {"stddev", rounded(spread.stddev, 3)},
                {"iterations", spread.count}};
  };
  for (const PhaseComparison& p : c.phases) {
    const bool spread = !std::isnan(p.low);
    phases[phaseName(p.phase)] = {
        {"baseline", side(p.baseline)},
        {"this_run", side(p.now)},
        {"change_percent", rounded(p.change, 3)},
        {"interval_percent",
         spread ? Json{rounded(p.low, 3), rounded(p.high, 3)} : Json(nullptr)},
        {"p_value", spread ? rounded(p.pValue, 6) : Json(nullptr)},
        {"verdict", p.verdict},
        {"regressed", p.regressed}};
  }
  return {{"baseline", baselinePath},
          {"method",
           "intervals of the ratio of the means, 95% for all the phases "
           "together (Bonferroni): delta method on their logs, Welch's "
           "degrees of freedom"},
          {"phase_confidence_percent", rounded(100 * c.confidence, 6)},
          {"threshold_percent", c.threshold},
          {"phases", phases},
          {"notes", c.notes},
          {"regressed", c.regressed}};
}

}  // namespace

namespace {

// The document of a run, or of one side of a side-by-side run.
Json resultJson(const std::vector<RunResults>& iterations,
                const RunContext& run) {
  const RunSettings& settings = *run.settings;
  const std::vector<std::string>& hosts = run.topology.hosts;
  Json doc;
  char built[32];
  isoBuildText(built, sizeof built, kBuildDate, kBuildTime);
  doc["format_version"] = kFormatVersion;
  doc["tool"] = {{"name", "treeflood"},
                 {"version", TREEFLOOD_VERSION},
                 {"built_at", built}};
  doc["command_line"] = settings.commandLine;
  doc["label"] = settings.label ? Json(*settings.label) : Json(nullptr);
  doc["settings"] = settingsJson(run);
  if (!hosts.empty()) {
    doc["settings"]["batch"] = settings.batch;
    doc["ranks"] = hosts;
  }
  doc["system"] = systemJson(run.system);
  Json runs = Json::array();
  bool valid = true;
  for (const RunResults& r : iterations) {
    runs.push_back(iterationJson(r, run));
    valid = valid && runValid(r, run.topology.threads);
  }
  doc["iterations"] = runs;
  doc["summary"] = summaryJson(iterations);
  const Interruption& stop = run.interruption;
  if (stop.stalledRank >= 0) {
    doc["interrupted"] = {{"reason", "stall"},
                          {"rank", stop.stalledRank},
                          {"iteration", stop.iteration}};
  } else if (stop.signal != 0) {
    doc["interrupted"] = {
        {"signal", std::string("SIG") + sigabbrev_np(stop.signal)},
        {"iteration", stop.iteration}};
  } else {
    doc["interrupted"] = nullptr;
  }
  doc["valid"] = valid && !stop.happened();
  doc["warnings"] = runWarnings(iterations, threadsHere(run), run.system.cpus,
                                run.side != nullptr);
  if (run.comparison != nullptr) {
    doc["comparison"] = comparisonJson(*run.comparison, run.baselinePath);
  }
  return doc;
}

// A working directory or a command line need not be UTF-8; JSON must be.
std::string dumped(const Json& doc) {
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string jsonText(const std::vector<RunResults>& iterations,
                     const RunContext& run) {
  return dumped(resultJson(iterations, run));
}

std::string sidesJsonText(const std::vector<RunResults>& a,
                          const RunContext& runA,
                          const std::vector<RunResults>& b,
                          const RunContext& runB,
                          const Comparison* comparison) {
  Json doc;
  doc["format_version"] = kFormatVersion;
  doc["sides"] = {{"A", resultJson(a, runA)}, {"B", resultJson(b, runB)}};
  doc["comparison"] =
      comparison != nullptr ? comparisonJson(*comparison, "A") : Json(nullptr);
  doc["valid"] = doc["sides"]["A"]["valid"].get<bool>() &&
                 doc["sides"]["B"]["valid"].get<bool>();
  return dumped(doc);
}

}  // namespace treeflood
