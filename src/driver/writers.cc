#include "driver/writers.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "console/clock.h"
#include "console/output.h"
#include "console/texts.h"
#include "work/layout.h"

namespace treeflood {

namespace {

using Json = nlohmann::ordered_json;

struct Percentile {
  const char* label;  // in the table
  const char* key;    // in JSON
  double value;       // 0 for the minimum, 100 for the maximum
};
const Percentile kPercentiles[] = {
    {"min", "min", 0},  {"p50", "p50", 50},       {"p90", "p90", 90},
    {"p99", "p99", 99}, {"p99.9", "p99_9", 99.9}, {"max", "max", 100},
};

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

Json iterationJson(const RunResults& results, const RunSettings& settings,
                   unsigned threads) {
  Json it;
  Json phases = Json::object();
  Json listing = nullptr;
  for (Phase kind : kPhases) {
    const PhaseResult& phase = results[kind];
    if (phase.command) listing = commandJson(phase);
    if (!phase.ran || phase.command) continue;
    const PhaseFailures& f = phase.stats.failures;
    const TreeLayout layout =
        computeLayout(settings.nbFiles, settings.timeLimit > 0, settings.dirs);
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

// A CSV field: as it is, or quoted when it holds a separator, a quote or a
// line break.
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? "\"\"" : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

unsigned threadsHere(const RunContext& run) {
  const std::vector<std::string>& hosts = run.topology.hosts;
  const auto ranks = std::count(hosts.begin(), hosts.end(),
                                hosts.empty() ? std::string() : hosts[0]);
  return run.settings->threads *
         static_cast<unsigned>(std::max<long>(ranks, 1));
}

std::string workloadText(const RunSettings& settings, uint64_t seed) {
  std::string text = std::string("fsync ") + kSyncNames[settings.sync] + ", " +
                     std::to_string(settings.dirs) + " directories, ";
  text += std::string(kOrderNames[settings.randomOrder]) + " order";
  if (!settings.randomOrder) return text;
  return text + " (seed " + std::to_string(seed) + ")";
}

std::string summaryText(const std::vector<RunResults>& iterations,
                        const std::vector<std::string>& hosts,
                        const std::string& workload) {
  const bool several = iterations.size() > 1;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"phase",   "files",       "failed",
                                     "seconds", "file work s", "files/s"};
  if (several) header.insert(header.end(), {"min/s", "max/s", "stddev"});
  for (const Percentile& p : kPercentiles) {
    header.push_back(std::string(p.label) + " us");
  }
  rows.push_back(header);
  // A figure with `decimals` decimals.
  auto number = [](double value, int decimals) {
    char cell[64];
    snprintf(cell, sizeof cell, "%.*f", decimals, value);
    return std::string(cell);
  };
  double dirMake = 0, dirRemove = 0;
  for (const RunResults& r : iterations) {
    dirMake += r.dirMakeSeconds;
    dirRemove += r.dirRemoveSeconds;
  }
  bool removed = false;
  for (Phase kind : kPhases) {
    uint64_t done = 0, failed = 0;
    double wall = 0, work = 0;
    bool ran = false;
    for (const RunResults& r : iterations) {
      const PhaseResult& phase = r[kind];
      if (!phase.ran) continue;
      done += filesDone(phase);
      failed += phase.stats.failures.count;
      wall += phase.wallSeconds;
      work += phase.stats.fileSeconds;
      ran = true;
    }
    if (!ran) continue;
    removed = kind == Phase::Delete;
    const RateSpread spread =
        rateSpread(iterationRates(iterations, kind, true));
    std::vector<std::string> row = {phaseName(kind), std::to_string(done),
                                    std::to_string(failed), number(wall, 3),
                                    number(work, 3)};
    for (double v : {spread.mean, spread.min, spread.max, spread.stddev}) {
      row.push_back(spread.count == 0 ? "-" : number(v, 0));
      if (!several) break;
    }
    auto merged = mergedLatency(iterations, kind);
    for (const Percentile& p : kPercentiles) {
      double us = latencyMicros(merged->ticks, merged->nsPerTick, p.value);
      row.push_back(merged->ticks.total ? number(us, 1) : "-");
    }
    rows.push_back(row);
  }
  std::string text = alignedTable(rows, 1);
  text +=
      "files/s: files done per second of the file work, the directories' "
      "time left out\n";
  text += "Directories: made in " + number(dirMake, 3) + " s";
  if (removed) text += ", removed in " + number(dirRemove, 3) + " s";
  text += "\n";
  // The tree's space and inodes as the file system counts them, metadata
  // included, per iteration and per file made.
  double bytes = 0, inodes = 0, files = 0;
  unsigned measured = 0;
  for (const RunResults& r : iterations) {
    if (!r.spaceMeasured) continue;
    ++measured;
    bytes += static_cast<double>(r.bytesUsed);
    inodes += static_cast<double>(r.inodesUsed);
    files += static_cast<double>(r[Phase::Create].files);
  }
  if (measured != 0) {
    char size[64], perFile[64];
    sizeText(size, sizeof size, static_cast<int64_t>(bytes / measured));
    sizeText(perFile, sizeof perFile,
             files > 0 ? static_cast<int64_t>(bytes / files) : 0);
    text += std::string("Space used by the tree: ") + size + " and " +
            number(inodes / measured, 0) + " inodes, " + perFile + " and " +
            number(files > 0 ? inodes / files : 0, 2) + " inodes per file\n";
  }
  // Each process's share, over the iterations, where several ran.
  rows = {{"rank", "host", "phase", "files", "failed", "seconds", "files/s"}};
  for (size_t rank = 0; rank < hosts.size(); ++rank) {
    for (Phase kind : kPhases) {
      RankShare sum;
      for (const RunResults& r : iterations) {
        const std::vector<RankShare>& shares = r[kind].stats.ranks;
        if (rank >= shares.size()) continue;
        sum.files += shares[rank].files - shares[rank].failed;
        sum.failed += shares[rank].failed;
        sum.seconds += shares[rank].seconds;
      }
      if (sum.files + sum.failed == 0 && sum.seconds == 0) continue;
      rows.push_back(
          {std::to_string(rank), hosts[rank], phaseName(kind),
           std::to_string(sum.files), std::to_string(sum.failed),
           number(sum.seconds, 3),
           sum.seconds > 0
               ? number(static_cast<double>(sum.files) / sum.seconds, 0)
               : "-"});
    }
  }
  if (rows.size() > 1) text += alignedTable(rows, 3);
  if (!workload.empty()) text += "Workload: " + workload + "\n";
  return text;
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
  doc["settings"] = {
      {"files", settings.nbFiles},
      {"threads", settings.threads},
      {"threads_total", run.topology.threads},
      {"file_size", settings.fileSize},
      {"iterations", settings.iterations},
      {"working_directory", run.workDir},
      {"direct_io", (settings.openFlags & O_DIRECT) != 0},
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
    runs.push_back(iterationJson(r, settings, threads));
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

const char kCsvHeader[] =
    "timestamp,hostname,file_system,working_directory,files,threads,"
    "file_size,direct_io,caches,iteration,phase,files_done,files_failed,"
    "seconds,files_per_second,p50_us,p99_us,max_us,rank,file_seconds,"
    "file_files_per_second,label,fsync,directories,order,seed\n";

std::string csvRows(const RunResults& results, uint64_t iteration,
                    const RunContext& context) {
  const RunSettings& settings = *context.settings;
  const SystemInfo& system = context.system;
  const std::vector<std::string>& hosts = context.topology.hosts;
  // What every row of the run repeats, after the hostname and up to the
  // caches.
  char text[128];
  snprintf(text, sizeof text, "%llu,%u,%llu,%s,",
           static_cast<unsigned long long>(settings.nbFiles), settings.threads,
           static_cast<unsigned long long>(settings.fileSize),
           (settings.openFlags & O_DIRECT) != 0 ? "true" : "false");
  const std::string run = "," + csvField(system.mount.type) + "," +
                          csvField(context.workDir) + "," + text;
  std::string rows;
  // A row of the whole run when `rank` is empty, else of that rank's share.
  // And what each row ends with: the label and the workload's settings.
  char workload[96];
  snprintf(workload, sizeof workload, ",%s,%u,%s,", kSyncNames[settings.sync],
           settings.dirs, kOrderNames[settings.randomOrder]);
  const std::string ending =
      csvField(settings.label.value_or("")) + workload +
      (settings.randomOrder ? std::to_string(context.seed) : "");
  auto row = [&](const std::string& startedAt, bool cold, const char* phase,
                 uint64_t done, uint64_t failed, double wall, double work,
                 const std::string& latencies, const std::string& host,
                 const std::string& rank) {
    char figures[256];
    snprintf(figures, sizeof figures, "%s,%llu,%s,%llu,%llu,%.9f,%.3f,",
             cold ? "cold" : "warm", static_cast<unsigned long long>(iteration),
             phase, static_cast<unsigned long long>(done),
             static_cast<unsigned long long>(failed), wall,
             wall > 0 ? static_cast<double>(done) / wall : 0.0);
    char workFigures[64];
    snprintf(workFigures, sizeof workFigures, ",%.9f,%.3f,", work,
             work > 0 ? static_cast<double>(done) / work : 0.0);
    rows += startedAt + "," + csvField(host) + run + figures + latencies + "," +
            rank + workFigures + ending + "\n";
  };
  for (Phase kind : kPhases) {
    const PhaseResult& phase = results[kind];
    if (!phase.ran) continue;
    const PhaseStats& stats = phase.stats;
    std::string latencies = ",,";
    if (stats.latency.total != 0) {
      snprintf(text, sizeof text, "%.2f,%.2f,%.2f",
               latencyMicros(stats.latency, stats.nsPerTick, 50),
               latencyMicros(stats.latency, stats.nsPerTick, 99),
               latencyMicros(stats.latency, stats.nsPerTick, 100));
      latencies = text;
    }
    row(phase.startedAt, phase.cold, phaseName(kind), filesDone(phase),
        stats.failures.count, phase.wallSeconds, stats.fileSeconds, latencies,
        system.hostname, "");
    for (size_t r = 0; r < stats.ranks.size() && r < hosts.size(); ++r) {
      const RankShare& share = stats.ranks[r];
      row(phase.startedAt, phase.cold, phaseName(kind),
          share.files - share.failed, share.failed, share.seconds,
          share.seconds, ",,", hosts[r], std::to_string(r));
    }
  }
  return rows;
}

namespace {

// A new file beside `path`, open for writing, its name in `temp`; -1 with
// errno set if it can't be made.
int tempBeside(const std::string& path, std::string* temp) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != sizeof random) {
      random = monotonicNs() + static_cast<uint64_t>(attempt);
    }
    char suffix[24];
    snprintf(suffix, sizeof suffix, ".%016llx",
             static_cast<unsigned long long>(random));
    *temp = path + suffix;
    // A plain create's mode, the umask applied by the kernel: no thread's
    // files ever see the umask changed.
    const int fd =
        open(temp->c_str(),
             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

bool writeFile(const std::string& path, const std::string& text) {
  std::string temp;
  const int fd = tempBeside(path, &temp);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    errno = error;
  }
  return ok;
}

bool canWriteFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  std::string temp;
  const int fd = tempBeside(path, &temp);
  if (fd < 0) return false;
  close(fd);
  unlink(temp.c_str());
  return true;
}

bool csvHeaderMatches(int fd) {
  const size_t length = sizeof kCsvHeader - 1;
  char head[sizeof kCsvHeader];
  const ssize_t n = pread(fd, head, length, 0);
  return n == 0 || (n == static_cast<ssize_t>(length) &&
                    memcmp(head, kCsvHeader, length) == 0);
}

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

}  // namespace treeflood
