#include "driver/results.h"

#include <stdio.h>

#include <algorithm>
#include <cmath>

#include "console/output.h"

namespace treeflood {

uint64_t filesDone(const PhaseResult& phase) {
  return phase.files - phase.stats.failures.count;
}

double filesPerSecond(const PhaseResult& phase) {
  return static_cast<double>(filesDone(phase)) / phase.wallSeconds;
}

bool runValid(const RunResults& results, unsigned threads) {
  for (const PhaseResult& phase : results.phases) {
    if (phase.stats.failures.count != 0 || phase.stats.syncError != 0) {
      return false;
    }
    // A command runs on no thread of the run's.
    if (phase.command) {
      if (!phase.command->succeeded()) return false;
    } else if (phase.ran && phase.stats.threadsRun < threads) {
      return false;
    }
  }
  return results.dirsMade.count == 0 && results.dirsRemoved.count == 0;
}

uint64_t filesBegun(const PhaseStats& stats, uint64_t handed) {
  if (stats.ranks.empty()) return handed;
  uint64_t begun = 0;
  for (const RankShare& share : stats.ranks) begun += share.files;
  return std::min(begun, handed);
}

std::vector<double> iterationRates(const std::vector<RunResults>& iterations,
                                   Phase phase, bool work) {
  std::vector<double> rates;
  for (const RunResults& r : iterations) {
    const PhaseResult& p = r[phase];
    if (!p.ran) continue;
    const double seconds = work ? p.stats.fileSeconds : p.wallSeconds;
    if (seconds > 0)
      rates.push_back(static_cast<double>(filesDone(p)) / seconds);
  }
  return rates;
}

RateSpread rateSpread(const std::vector<double>& rates) {
  RateSpread spread;
  if (rates.empty()) return spread;
  spread.count = static_cast<unsigned>(rates.size());
  const auto [min, max] = std::minmax_element(rates.begin(), rates.end());
  spread.min = *min;
  spread.max = *max;
  double sum = 0;
  for (double v : rates) sum += v;
  spread.mean = sum / spread.count;
  if (spread.count < 2) return spread;
  // Two passes: squared distances from the mean keep the spread that a sum
  // of squares would lose to rounding.
  double squares = 0;
  for (double v : rates) squares += (v - spread.mean) * (v - spread.mean);
  spread.stddev = std::sqrt(squares / (spread.count - 1));
  return spread;
}

namespace {

// The first stretch of more than a second in `phase` in which no number was
// handed out while some were still to be: its start and length, or false.
bool firstStall(const PhaseResult& phase, double* at, double* length) {
  const std::vector<TimelineSample>& t = phase.stats.timeline;
  for (size_t i = 0, j = 0; i < t.size(); i = j) {
    for (j = i + 1; j < t.size() && t[j].files == t[i].files; ++j) {
    }
    // At least this long: the count moved only after sample j - 1.
    const double end = t[j - 1].seconds;
    if (t[i].files < phase.files && end - t[i].seconds > 1) {
      *at = t[i].seconds;
      *length = end - t[i].seconds;
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> runWarnings(const std::vector<RunResults>& iterations,
                                     unsigned threadsHere, long cpus,
                                     bool sideBySide) {
  std::vector<std::string> warnings;
  for (Phase phase : kPhases) {
    const char* name = phaseName(phase);
    const RateSpread spread =
        rateSpread(iterationRates(iterations, phase, true));
    // ls's time is the listing's own, however short.
    if (phaseWorker(phase) != nullptr) {
      double shortest = -1;
      for (const RunResults& r : iterations) {
        const PhaseResult& p = r[phase];
        if (p.ran && (shortest < 0 || p.stats.fileSeconds < shortest)) {
          shortest = p.stats.fileSeconds;
        }
      }
      if (shortest >= 0 && shortest < 1) {
        warnings.push_back(
            formatted("%s: %.3f s of file work, too short to compare: raise -f",
                      name, shortest));
      }
      for (size_t i = 0; i < iterations.size(); ++i) {
        double at, length;
        if (!iterations[i][phase].ran ||
            !firstStall(iterations[i][phase], &at, &length)) {
          continue;
        }
        warnings.push_back(formatted(
            "%s, iteration %zu: no file finished for %.2f s from %.2f s "
            "while files were in flight (a stall)",
            name, i + 1, length, at));
      }
      for (size_t i = 0; i < iterations.size(); ++i) {
        for (const std::string& w : iterations[i][phase].stats.warnings) {
          warnings.push_back(
              formatted("%s, iteration %zu: %s", name, i + 1, w.c_str()));
        }
      }
    }
    double others = 0;
    unsigned known = 0;
    for (const RunResults& r : iterations) {
      if (!r[phase].host.known) continue;
      others += r[phase].host.otherCpus;
      ++known;
    }
    if (known != 0 && others / known > kBusyCpus) {
      warnings.push_back(formatted(
          "the host was busy: other processes used %.1f CPUs during %s%s",
          others / known, name,
          sideBySide ? "" : "; compare side by side with --against"));
    }
    if (spread.count >= 2 && spread.stddev > 0.1 * spread.mean) {
      warnings.push_back(formatted(
          "%s: files/s vary by %.1f%% across %u iterations (coefficient "
          "of variation above 10%%)",
          name, 100 * spread.stddev / spread.mean, spread.count));
    }
  }
  if (cpus > 0 && threadsHere > cpus) {
    warnings.push_back(formatted(
        "%u threads on %ld online CPUs: tail latencies include waiting "
        "for a CPU",
        threadsHere, cpus));
  }
  return warnings;
}

std::unique_ptr<MergedLatency> mergedLatency(
    const std::vector<RunResults>& iterations, Phase phase) {
  auto merged = std::make_unique<MergedLatency>();
  double weighted = 0;
  for (const RunResults& r : iterations) {
    const PhaseStats& stats = r[phase].stats;
    mergeLatency(&merged->ticks, stats.latency);
    weighted += stats.nsPerTick * static_cast<double>(stats.latency.total);
  }
  if (merged->ticks.total != 0) {
    merged->nsPerTick = weighted / static_cast<double>(merged->ticks.total);
  }
  return merged;
}

double latencyMicros(const LatencyHistogram& ticks, double nsPerTick,
                     double percentile) {
  return static_cast<double>(latencyPercentile(ticks, percentile)) * nsPerTick /
         1000;
}

unsigned threadsHere(const RunContext& run) {
  const std::vector<std::string>& hosts = run.topology.hosts;
  const auto ranks = std::count(hosts.begin(), hosts.end(),
                                hosts.empty() ? std::string() : hosts[0]);
  return run.settings->threads *
         static_cast<unsigned>(std::max<long>(ranks, 1));
}

}  // namespace treeflood
