#include "driver/summary.h"

#include <stdio.h>

#include <algorithm>

#include "console/texts.h"

namespace treeflood {

std::string workloadText(const RunSettings& settings, uint64_t seed) {
  std::string text = std::string("fsync ") + kSyncNames[settings.sync] + ", " +
                     std::to_string(settings.dirs) + " directories, ";
  text += std::string(kOrderNames[settings.randomOrder]) + " order";
  if (settings.randomData) text += ", random data";
  if (!settings.randomOrder && !settings.randomData) return text;
  return text + " (seed " + std::to_string(seed) + ")";
}

namespace {

// A figure with `decimals` decimals.
std::string number(double value, int decimals) {
  char cell[64];
  snprintf(cell, sizeof cell, "%.*f", decimals, value);
  return cell;
}

// The row of phase `kind` over the iterations, in a table with the minimum,
// maximum and standard deviation when `several`; empty when it never ran.
std::vector<std::string> phaseRow(const std::vector<RunResults>& iterations,
                                  Phase kind, bool several) {
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
  if (!ran) return {};
  const RateSpread spread = rateSpread(iterationRates(iterations, kind, true));
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
  return row;
}

// The tree's space and inodes as the file system counts them, metadata
// included, per iteration and per file made; empty when never measured.
std::string spaceLine(const std::vector<RunResults>& iterations) {
  double bytes = 0, inodes = 0, files = 0;
  unsigned measured = 0;
  bool counted = true;
  for (const RunResults& r : iterations) {
    if (!r.spaceMeasured) continue;
    ++measured;
    bytes += static_cast<double>(r.bytesUsed);
    inodes += static_cast<double>(r.inodesUsed);
    counted = counted && r.inodesCounted;
    // Per file made: those that failed take no space.
    files += static_cast<double>(filesDone(r[Phase::Create]));
  }
  if (measured == 0) return "";
  char size[64], perFile[64];
  sizeText(size, sizeof size, static_cast<int64_t>(bytes / measured));
  sizeText(perFile, sizeof perFile,
           files > 0 ? static_cast<int64_t>(bytes / files) : 0);
  if (!counted) {
    return std::string("Space used by the tree: ") + size + ", " + perFile +
           " per file; inodes not counted by this file system\n";
  }
  return std::string("Space used by the tree: ") + size + " and " +
         number(inodes / measured, 0) + " inodes, " + perFile + " and " +
         number(files > 0 ? inodes / files : 0, 2) + " inodes per file\n";
}

// Each process's share, over the iterations, where several ran; empty
// where one did.
std::string ranksTable(const std::vector<RunResults>& iterations,
                       const std::vector<std::string>& hosts) {
  std::vector<std::vector<std::string>> rows = {
      {"rank", "host", "phase", "files", "failed", "seconds", "files/s"}};
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
  return rows.size() > 1 ? alignedTable(rows, 3) : "";
}

}  // namespace

std::string summaryText(const std::vector<RunResults>& iterations,
                        const std::vector<std::string>& hosts,
                        const std::string& workload) {
  const bool several = iterations.size() > 1;
  std::vector<std::string> header = {"phase",   "files",       "failed",
                                     "seconds", "file work s", "files/s"};
  if (several) header.insert(header.end(), {"min/s", "max/s", "stddev"});
  for (const Percentile& p : kPercentiles) {
    header.push_back(std::string(p.label) + " us");
  }
  std::vector<std::vector<std::string>> rows = {header};
  for (Phase kind : kPhases) {
    std::vector<std::string> row = phaseRow(iterations, kind, several);
    if (!row.empty()) rows.push_back(std::move(row));
  }
  double dirMake = 0, dirRemove = 0, sync = 0;
  double user = 0, system = 0, lsUser = 0, lsSystem = 0;
  bool removed = false;
  for (const RunResults& r : iterations) {
    dirMake += r.dirMakeSeconds;
    dirRemove += r.dirRemoveSeconds;
    sync += r[Phase::Create].stats.syncSeconds;
    removed = removed || r[Phase::Delete].ran;
    for (const PhaseResult& p : r.phases) {
      user += p.host.userSeconds;
      system += p.host.systemSeconds;
    }
    const std::optional<CommandResult>& ls = r[Phase::List].command;
    if (ls && ls->ran) {
      lsUser += timevalSeconds(ls->usage.ru_utime);
      lsSystem += timevalSeconds(ls->usage.ru_stime);
    }
  }
  std::string text = alignedTable(rows, 1);
  text +=
      "files/s: files done per second of the file work, the directories' "
      "time left out\n";
  text += "Directories: made in " + number(dirMake, 3) + " s";
  if (removed) text += ", removed in " + number(dirRemove, 3) + " s";
  text += "\n";
  text += "CPU: treeflood " + number(user, 3) + " s user, " +
          number(system, 3) + " s system; ls " + number(lsUser, 3) +
          " s user, " + number(lsSystem, 3) + " s system\n";
  // Under --fsync phase: what the syncfs took of the file work.
  if (sync > 0) {
    text += "Sync: " + number(sync, 3) +
            " s of the create phase's file work was its syncfs\n";
  }
  text += spaceLine(iterations);
  text += ranksTable(iterations, hosts);
  if (!workload.empty()) text += "Workload: " + workload + "\n";
  return text;
}

}  // namespace treeflood
