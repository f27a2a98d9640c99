#include "driver/results.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "work/layout.h"

const char* const kPhaseNames[kNbPhases] = {"create", "size", "delete"};

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

double latencyMicros(const PhaseStats& stats, double percentile) {
  return static_cast<double>(latencyPercentile(stats.latency, percentile)) *
         stats.nsPerTick / 1000;
}

uint64_t filesDone(const PhaseResult& phase) {
  return phase.files - phase.stats.failures.count;
}

// Unescapes the octal escapes (\040 for a blank) of /proc/self/mountinfo.
std::string unescapeMountPath(const std::string& text) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) &&
        octal(text[i + 2]) && octal(text[i + 3])) {
      out += static_cast<char>((text[i + 1] - '0') * 64 +
                               (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string mountedType(std::istream& mountinfo, const std::string& dir) {
  std::string line, best, type;
  while (std::getline(mountinfo, line)) {
    // Fields: id parent major:minor root mountpoint options [optional...] -
    // type source super-options.
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    point = unescapeMountPath(point);
    bool above = dir == point || (dir.compare(0, point.size(), point) == 0 &&
                                  (point == "/" || dir[point.size()] == '/'));
    if (!above || point.size() < best.size()) continue;
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string fsType;
    rest >> fsType;
    best = point;
    type = fsType;
  }
  return type;
}

SystemInfo systemInfo() {
  SystemInfo info;
  struct utsname name;
  if (uname(&name) == 0) info.kernel = name.release;
  char cwd[4096];
  std::ifstream mounts("/proc/self/mountinfo");
  if (getcwd(cwd, sizeof cwd) != nullptr) {
    info.fileSystem = mountedType(mounts, cwd);
  }
  struct statfs fs;
  if (statfs(".", &fs) == 0) {
    info.blockSize = static_cast<int64_t>(fs.f_bsize);
    if (info.fileSystem.empty()) {
      char magic[32];
      snprintf(magic, sizeof magic, "0x%lx",
               static_cast<unsigned long>(fs.f_type));
      info.fileSystem = magic;
    }
  }
  info.cpus = sysconf(_SC_NPROCESSORS_ONLN);
  return info;
}

bool runValid(const RunResults& results, unsigned threads) {
  for (const PhaseResult& phase : results.phases) {
    if (phase.stats.failures.count != 0) return false;
    if (phase.ran && phase.stats.threadsRun < threads) return false;
  }
  const CommandResult& ls = results.listing;
  return results.dirsMade.count == 0 && results.dirsRemoved.count == 0 &&
         ls.ran && ls.signal == 0 && ls.exitStatus == 0;
}

std::string summaryText(const RunResults& results) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> header = {"phase", "files", "failed", "seconds",
                                     "files/s"};
  for (const Percentile& p : kPercentiles) {
    header.push_back(std::string(p.label) + " us");
  }
  rows.push_back(header);
  char cell[64];
  for (int k = 0; k < kNbPhases; ++k) {
    const PhaseResult& phase = results.phases[k];
    if (!phase.ran) continue;
    std::vector<std::string> row = {kPhaseNames[k]};
    uint64_t done = filesDone(phase);
    row.push_back(std::to_string(done));
    row.push_back(std::to_string(phase.stats.failures.count));
    snprintf(cell, sizeof cell, "%.3f", phase.wallSeconds);
    row.push_back(cell);
    if (phase.wallSeconds > 0) {
      snprintf(cell, sizeof cell, "%.0f",
               static_cast<double>(done) / phase.wallSeconds);
      row.push_back(cell);
    } else {
      row.push_back("-");
    }
    for (const Percentile& p : kPercentiles) {
      snprintf(cell, sizeof cell, "%.1f", latencyMicros(phase.stats, p.value));
      row.push_back(phase.stats.latency.total ? cell : "-");
    }
    rows.push_back(row);
  }
  std::vector<size_t> widths(header.size());
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], row[c].size());
    }
  }
  // The phase name to the left, numbers to the right, two blanks between.
  std::string text;
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      std::string pad(widths[c] - row[c].size(), ' ');
      text += c == 0 ? row[c] + pad : "  " + pad + row[c];
    }
    text += '\n';
  }
  return text;
}

std::string jsonText(const RunResults& results, const RunSettings& settings,
                     const std::string& workDir, const SystemInfo& system) {
  Json doc;
  doc["format_version"] = 1;
  doc["tool"] = {{"name", "treeflood"},
                 {"version", std::string(kVersion)},
                 {"build", std::string(kBuildDate) + " " + kBuildTime}};
  doc["command_line"] = settings.commandLine;
  doc["settings"] = {
      {"files", settings.nbFiles},
      {"threads", settings.threads},
      {"working_directory", workDir},
      {"direct_io", (settings.openFlags & O_DIRECT) != 0},
      {"pause", settings.pause},
      {"keep_files", settings.dontDeleteFiles},
      {"time_limit_seconds",
       settings.timeLimit > 0 ? Json(settings.timeLimit) : Json(nullptr)}};
  doc["system"] = {{"kernel", system.kernel},
                   {"file_system", system.fileSystem},
                   {"block_size", system.blockSize},
                   {"cpus", system.cpus}};
  Json phases = Json::object();
  for (int k = 0; k < kNbPhases; ++k) {
    const PhaseResult& phase = results.phases[k];
    if (!phase.ran) continue;
    const PhaseFailures& f = phase.stats.failures;
    uint64_t done = filesDone(phase);
    Json first = nullptr;
    if (f.count != 0) {
      char path[32];
      filePath(computeLayout(settings.nbFiles), f.firstIndex, path);
      first = {{"path", path},
               {"call", f.firstCall},
               {"errno", f.firstError},
               {"error", failureError(f.firstError)}};
    }
    Json latency = Json::object();
    for (const Percentile& p : kPercentiles) {
      latency[p.key] = phase.stats.latency.total
                           ? Json(latencyMicros(phase.stats, p.value))
                           : Json(nullptr);
    }
    phases[kPhaseNames[k]] = {
        {"started_at", phase.startedAt},
        {"wall_seconds", phase.wallSeconds},
        {"file_seconds", phase.stats.fileSeconds},
        {"files", phase.files},
        {"cold", phase.cold},
        {"files_done", done},
        {"files_failed", f.count},
        {"threads_run", phase.stats.threadsRun},
        {"first_failure", first},
        {"files_per_second",
         phase.wallSeconds > 0
             ? Json(static_cast<double>(done) / phase.wallSeconds)
             : Json(nullptr)},
        {"latency_us", latency}};
  }
  doc["phases"] = phases;
  const CommandResult& ls = results.listing;
  auto seconds = [](const struct timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  if (ls.ran) {
    doc["listing"] = {
        {"cold", results.listingCold},
        {"exit_status", ls.signal ? Json(nullptr) : Json(ls.exitStatus)},
        {"signal", ls.signal ? Json(ls.signal) : Json(nullptr)},
        {"user_cpu_seconds", seconds(ls.usage.ru_utime)},
        {"system_cpu_seconds", seconds(ls.usage.ru_stime)},
        {"max_rss_bytes", int64_t{ls.usage.ru_maxrss} * 1024},
        {"major_faults", ls.usage.ru_majflt},
        {"minor_faults", ls.usage.ru_minflt}};
  } else {
    doc["listing"] = nullptr;
  }
  doc["sizes"] = {
      {"files_bytes", results.fileBlocks * 512},
      {"directories_bytes", results.dirBlocks * 512},
      {"total_bytes", (results.fileBlocks + results.dirBlocks) * 512}};
  doc["stopped_by_time_limit"] = results.stoppedByTimeLimit;
  doc["directories"] = {{"failed_to_make", results.dirsMade.count},
                        {"failed_to_remove", results.dirsRemoved.count}};
  doc["valid"] = runValid(results, settings.threads);
  // A working directory or a command line need not be UTF-8; JSON must be.
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
