#include "driver/csv.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "console/output.h"

namespace treeflood {

namespace {

// A CSV field: as it is, or quoted when it holds a separator, a quote or a
// line break.
std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? "\"\"" : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

const char kCsvHeader[] =
    "timestamp,hostname,file_system,working_directory,files,threads,"
    "file_size,direct_io,caches,iteration,phase,files_done,files_failed,"
    "seconds,files_per_second,p50_us,p99_us,max_us,rank,file_seconds,"
    "file_files_per_second,label,fsync,directories,order,seed,ranks,"
    "threads_total,data,mount_options,sync_seconds,other_cpus,steal_cpus,"
    "load_average,user_cpu_seconds,system_cpu_seconds,side\n";

std::string csvRows(const RunResults& results, uint64_t iteration,
                    const RunContext& context) {
  const RunSettings& settings = *context.settings;
  const SystemInfo& system = context.system;
  const std::vector<std::string>& hosts = context.topology.hosts;
  // What every row of the run repeats, after the hostname and up to the
  // caches.
  char text[128];
  snprintf(text, sizeof text, "%" PRIu64 ",%u,%" PRIu64 ",%s,",
           settings.nbFiles, settings.threads, settings.fileSize,
           settings.directIo ? "true" : "false");
  // Appended piece by piece: g++ 12 takes "," + a temporary for an
  // overlapping copy (-Wrestrict) once inlined.
  std::string run = ",";
  run += csvField(system.mount.type);
  run += ",";
  run += csvField(context.workDir);
  run += ",";
  run += text;
  std::string rows;
  // A row of the whole run when `rank` is empty, else of that rank's share.
  // And what each row ends with: the label and the workload's settings.
  char workload[96];
  snprintf(workload, sizeof workload, ",%s,%u,%s,", kSyncNames[settings.sync],
           settings.dirs, kOrderNames[settings.randomOrder]);
  const std::string ending =
      csvField(settings.label.value_or("")) + workload +
      (settings.randomOrder || settings.randomData
           ? std::to_string(context.seed)
           : "") +
      "," + std::to_string(std::max<size_t>(hosts.size(), 1)) + "," +
      std::to_string(context.topology.threads) + "," +
      kDataNames[settings.randomData] + "," + csvField(system.mount.options);
  auto row = [&](const std::string& startedAt, bool cold, const char* phase,
                 uint64_t done, uint64_t failed, double wall, double work,
                 const std::string& latencies, const std::string& host,
                 const std::string& rank, const std::string& sync,
                 const HostLoad& h) {
    char figures[256];
    snprintf(figures, sizeof figures,
             "%s,%" PRIu64 ",%s,%" PRIu64 ",%" PRIu64 ",%.9f,%.3f,",
             cold ? "cold" : "warm", iteration, phase, done, failed, wall,
             wall > 0 ? static_cast<double>(done) / wall : 0.0);
    char workFigures[64];
    snprintf(workFigures, sizeof workFigures, ",%.9f,%.3f,", work,
             work > 0 ? static_cast<double>(done) / work : 0.0);
    rows += startedAt + "," + csvField(host) + run + figures + latencies + "," +
            rank + workFigures + ending + "," + sync;
    // The host's load, on the rows of the whole run.
    if (!rank.empty()) {
      rows += ",,,,,";
    } else if (h.known) {
      rows += formatted(",%.3f,%.3f,%.2f,%.3f,%.3f", h.otherCpus, h.stealCpus,
                        h.loadAverage, h.userSeconds, h.systemSeconds);
    } else {
      rows += formatted(",,,%.2f,%.3f,%.3f", h.loadAverage, h.userSeconds,
                        h.systemSeconds);
    }
    // The side of a side-by-side run.
    rows += formatted(",%s\n", context.side != nullptr ? context.side : "");
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
    // The syncfs's part of the file work, under --fsync phase.
    std::string sync;
    if (kind == Phase::Create && settings.sync == kSyncPhase) {
      snprintf(text, sizeof text, "%.9f", stats.syncSeconds);
      sync = text;
    }
    row(phase.startedAt, phase.cold, phaseName(kind), filesDone(phase),
        stats.failures.count, phase.wallSeconds, stats.fileSeconds, latencies,
        system.hostname, "", sync, phase.host);
    for (size_t r = 0; r < stats.ranks.size() && r < hosts.size(); ++r) {
      const RankShare& share = stats.ranks[r];
      row(phase.startedAt, phase.cold, phaseName(kind),
          share.files - share.failed, share.failed, share.seconds,
          share.seconds, ",,", hosts[r], std::to_string(r), "", HostLoad{});
    }
  }
  return rows;
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
