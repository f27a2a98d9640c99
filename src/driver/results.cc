#include "driver/results.h"

#include <algorithm>
#include <cmath>

uint64_t filesDone(const PhaseResult& phase) {
  return phase.files - phase.stats.failures.count;
}

double filesPerSecond(const PhaseResult& phase) {
  return static_cast<double>(filesDone(phase)) / phase.wallSeconds;
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

RateSpread rateSpread(const std::vector<RunResults>& iterations,
                      PhaseKind kind) {
  std::vector<double> rates;
  for (const RunResults& r : iterations) {
    const PhaseResult& p = r.phases[kind];
    if (p.ran && p.wallSeconds > 0) rates.push_back(filesPerSecond(p));
  }
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

std::unique_ptr<MergedLatency> mergedLatency(
    const std::vector<RunResults>& iterations, PhaseKind kind) {
  auto merged = std::make_unique<MergedLatency>();
  double weighted = 0;
  for (const RunResults& r : iterations) {
    const PhaseStats& stats = r.phases[kind].stats;
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
