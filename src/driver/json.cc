#include "driver/json.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "console/texts.h"
#include "driver/compare.h"
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
          {"major_faults", c.usage.ru_majflt},
          {"minor_faults", c.usage.ru_minflt}};
}

Json iterationJson(const RunResults& results, const RunContext& context) {
  const RunSettings& settings = *context.settings;
  const unsigned threads = context.topology.threads;
  Json it;
  Json phases = Json::object();
  Json listing = nullptr;
  for (Phase kind : kPhases) {
    const PhaseResult& phase = results[kind];
    if (phase.command) listing = commandJson(phase);
    if (!phase.ran || phase.command) continue;
    const PhaseFailures& f = phase.stats.failures;
    const TreeLayout& layout = context.layout;
    char path[kPathSize];
    Json first = nullptr;
    if (f.count != 0) {
      filePath(layout, f.firstIndex, path);
      first = {{"path", path},
               {"call", f.firstCall},
               {"errno", f.firstError},
               {"error", failureError(f.firstError)}};
    }
    Json timeline = Json::array();
    for (const TimelineSample& t : phase.stats.timeline) {
      timeline.push_back({seconds(t.seconds), t.files});
    }
    Json ranks = Json::array();
    for (const RankShare& share : phase.stats.ranks) {
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
    phases[phaseName(kind)] = {
        {"started_at", phase.startedAt},
        {"wall_seconds", seconds(phase.wallSeconds)},
        {"file_seconds", seconds(phase.stats.fileSeconds)},
        {"files", phase.files},
        {"cold", phase.cold},
        {"files_done", filesDone(phase)},
        {"files_failed", f.count},
        {"threads_run", phase.stats.threadsRun},
        {"first_failure", first},
        {"files_per_second", phase.wallSeconds > 0
                                 ? rounded(filesPerSecond(phase), 3)
                                 : Json(nullptr)},
        {"file_files_per_second",
         phase.stats.fileSeconds > 0
             ? rounded(static_cast<double>(filesDone(phase)) /
                           phase.stats.fileSeconds,
                       3)
             : Json(nullptr)},
        {"latency_us", latencyJson(phase.stats.latency, phase.stats.nsPerTick)},
        {"timeline", timeline}};
    Json& entry = phases[phaseName(kind)];
    if (!ranks.empty()) entry["ranks"] = ranks;
    if (kind == Phase::Create && settings.sync == kSyncPhase) {
      const int error = phase.stats.syncError;
      entry["syncfs_error"] =
          error != 0 ? Json(strerror(error)) : Json(nullptr);
    }
    if (kind == Phase::Read) {
      const PhaseFailures& d = phase.stats.differs;
      entry["files_differing"] = d.count;
      Json firstDifference = nullptr;
      if (d.count != 0) {
        filePath(layout, d.firstIndex, path);
        firstDifference = {{"path", path}, {"offset", d.firstOffset}};
      }
      entry["first_difference"] = firstDifference;
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
      {"inodes_used",
       results.spaceMeasured ? Json(results.inodesUsed) : Json(nullptr)}};
  it["stopped_by_time_limit"] = results.stoppedByTimeLimit;
  it["directories"] = {
      {"make_seconds", seconds(results.dirMakeSeconds)},
      {"remove_seconds", results[Phase::Delete].ran
                             ? seconds(results.dirRemoveSeconds)
                             : Json(nullptr)},
      {"failed_to_make", results.dirsMade.count},
      {"failed_to_remove", results.dirsRemoved.count}};
  it["valid"] = runValid(results, threads);
  return it;
}

}  // namespace

Json settingsJson(const RunContext& run) {
  const RunSettings& settings = *run.settings;
  return {{"files", settings.nbFiles},
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
          {"seed", settings.randomOrder ? Json(run.seed) : Json(nullptr)}};
}

std::string jsonText(const std::vector<RunResults>& iterations,
                     const RunContext& run) {
  const RunSettings& settings = *run.settings;
  const SystemInfo& system = run.system;
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
  doc["system"] = {{"hostname", system.hostname},
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
  // The threads of all the processes that ran the phases.
  const unsigned threads = run.topology.threads;
  Json runs = Json::array();
  bool valid = true;
  for (const RunResults& r : iterations) {
    runs.push_back(iterationJson(r, run));
    valid = valid && runValid(r, threads);
  }
  doc["iterations"] = runs;
  Json summary = Json::object();
  auto spreadJson = [](const RateSpread& spread) {
    return Json{{"mean", rounded(spread.mean, 3)},
                {"min", rounded(spread.min, 3)},
                {"max", rounded(spread.max, 3)},
                {"stddev", rounded(spread.stddev, 3)}};
  };
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
  doc["summary"] = summary;
  const Interruption& stop = run.interruption;
  doc["interrupted"] =
      stop.signal == 0
          ? Json(nullptr)
          : Json({{"signal", std::string("SIG") + sigabbrev_np(stop.signal)},
                  {"iteration", stop.iteration}});
  doc["valid"] = valid && stop.signal == 0;
  doc["warnings"] = runWarnings(iterations, threadsHere(run), system.cpus);
  if (run.comparison != nullptr) {
    const Comparison& c = *run.comparison;
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
          {"interval_percent", spread
                                   ? Json{rounded(p.low, 3), rounded(p.high, 3)}
                                   : Json(nullptr)},
          {"p_value", spread ? rounded(p.pValue, 6) : Json(nullptr)},
          {"verdict", p.verdict},
          {"regressed", p.regressed}};
    }
    doc["comparison"] = {{"baseline", run.baselinePath},
                         {"method", "Welch's t-test, 95% interval"},
                         {"threshold_percent", c.threshold},
                         {"phases", phases},
                         {"notes", c.notes},
                         {"regressed", c.regressed}};
  }
  // A working directory or a command line need not be UTF-8; JSON must be.
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace treeflood
