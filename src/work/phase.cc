#include "work/phase.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "console/output.h"
#include "console/report.h"
#include "console/texts.h"

namespace treeflood {

namespace {

const unsigned kMaxThreads = 64;
const char kDatedLine[] = "eta: %E [%p]\n";
// Once a phase has run a multiple of this many seconds, the reporter writes
// a dated line that stays on the screen.
const uint64_t kDatedLinePeriod = 16384;

// What the reporter of one phase shares with runPhase.
struct Reporter {
  const PhasePlan* plan = nullptr;
  uint64_t startNs = 0;
  // The width of the last line drawn, for the erase that ends the phase.
  size_t drawn = 0;
  Timeline timeline;
  // Stopped by runPhase at once, rather than after a tick.
  StoppableThread thread;
};

// At each tick of the plan's interval (250 ms) from the phase's start,
// samples how many files were handed out, until runPhase stops it. After 8
// ticks (2 s), also redraws the live progress line, with the rate over the
// last 4, and every 4 ticks writes a dated line if the phase has run a
// multiple of 16384 s.
void* progressReporter(void* arg) {
  Reporter& r = *static_cast<Reporter*>(arg);
  const uint64_t nbFiles = r.plan->nbFiles;
  const uint64_t kTick = r.plan->reportIntervalNs;
  const uint64_t kSilentTicks = 8, kRateTicks = 4;
  // The last kRateTicks samples, for the rate over the last second.
  TimelineSample recent[kRateTicks] = {};
  // The grid point last passed: the first wake is the next one.
  uint64_t nextWake = monotonicNs();
  nextWake -= (nextWake - r.startNs) % kTick;
  for (uint64_t tick = 1;; ++tick) {
    // Wakes keep to their 250 ms grid; any that were missed (the process was
    // stopped, say) are skipped rather than caught up on.
    const uint64_t now = monotonicNs();
    nextWake = std::max(nextWake + kTick, now - (now - r.startNs) % kTick);
    if (!r.thread.waitUntil(nextWake)) return nullptr;
    const uint64_t at = monotonicNs();
    // Each worker's last draw still advances the count, so it can run past
    // nbFiles; the line never shows more than all of the files.
    const TimelineSample sample = {
        secondsBetween(r.startNs, at),
        std::min(r.plan->numbers->handedOut(), nbFiles)};
    recordSample(&r.timeline, sample);
    const TimelineSample& before = recent[tick % kRateTicks];
    const double rate = tick > kRateTicks
                            ? static_cast<double>(sample.files - before.files) /
                                  (sample.seconds - before.seconds)
                            : -1;
    recent[tick % kRateTicks] = sample;
    if (tick <= kSilentTicks) continue;
    if (r.plan->progress && sample.files < nbFiles && sample.files > 0) {
      std::string line = "\r";
      line += liveLine(sample.files, nbFiles, sample.seconds, rate, columns,
                       terminal);
      clearLine(false, r.drawn);
      writeText(line);
      r.drawn = line.size() - 1;
    }
    const uint64_t whole = static_cast<uint64_t>(sample.seconds);
    if (!r.plan->quiet && tick % kRateTicks == 0 && whole != 0 &&
        whole % kDatedLinePeriod == 0) {
      char clock[32];
      clockText(clock, sizeof clock);
      if (r.plan->progress) clearLine(false, r.drawn);
      r.drawn = 0;
      logMessage("At %s, ", clock);
      writeReport(kDatedLine, sample.files, nbFiles, sample.seconds);
    }
  }
}

struct WorkerStart {
  const PhasePlan* plan;
  WorkerRoutine worker;
  WorkerTally* tally;
};

void* runWorker(void* arg) {
  const WorkerStart* start = static_cast<WorkerStart*>(arg);
  start->worker(*start->plan, start->tally);
  return nullptr;
}

// The threads beside the calling one that run a phase's workers: joined by
// join(), or when their owner ends.
struct WorkerThreads {
  WorkerStart starts[kMaxThreads - 1];
  pthread_t handles[kMaxThreads - 1];
  unsigned started = 0;
  bool joined = false;

  // Starts up to threads - 1 of them with the plan's starter, on tallies 1
  // and on. Returns the error of the last that could not start, or 0.
  int start(const PhasePlan& plan, WorkerRoutine worker, WorkerTally* tallies,
            unsigned threads) {
    int startError = 0;
    for (unsigned t = 1; t < threads; ++t) {
      starts[started] = {&plan, worker, &tallies[started + 1]};
      const int error = plan.startThread(&handles[started], nullptr, runWorker,
                                         &starts[started]);
      if (error == 0) {
        ++started;
      } else {
        startError = error;
      }
    }
    return startError;
  }
  void join() {
    if (joined) return;
    for (unsigned t = 0; t < started; ++t) pthread_join(handles[t], nullptr);
    joined = true;
  }
  ~WorkerThreads() { join(); }
};

// Adds what the first `count` tallies found to `stats`, whose refused
// numbers end sorted.
void mergeTallies(const WorkerTally* tallies, unsigned count,
                  PhaseStats* stats) {
  for (unsigned t = 0; t < count; ++t) {
    mergeFailures(&stats->failures, tallies[t].failures);
    mergeFailures(&stats->differs, tallies[t].differs);
    stats->blocks += tallies[t].blocks;
    stats->timeUp = stats->timeUp || tallies[t].timeUp;
    stats->tooManyRefused = stats->tooManyRefused || tallies[t].halted;
    stats->refused.insert(stats->refused.end(), tallies[t].refused.begin(),
                          tallies[t].refused.end());
    if (tallies[t].latency != nullptr) {
      mergeLatency(&stats->latency, *tallies[t].latency);
    }
  }
  std::sort(stats->refused.begin(), stats->refused.end());
}

}  // namespace

void recordSample(Timeline* timeline, TimelineSample sample) {
  if (++timeline->wakes % timeline->stride != 0) return;
  std::vector<TimelineSample>& samples = timeline->samples;
  if (samples.size() == kTimelineSamples) {
    // Keep the samples of the wakes that are multiples of twice the stride:
    // the odd places, as the first sample is the stride's first multiple.
    for (size_t i = 1; i < samples.size(); i += 2) samples[i / 2] = samples[i];
    samples.resize(samples.size() / 2);
    timeline->stride *= 2;
    if (timeline->wakes % timeline->stride != 0) return;
  }
  samples.push_back(sample);
}

Topology LocalRunner::topology() const {
  Topology topology;
  topology.threads = threads;
  return topology;
}

void LocalRunner::run(Phase phase, const PhasePlan& plan, uint64_t startNs,
                      PhaseStats* stats) {
  PhasePlan mine = plan;
  mine.numbers = &counter;
  counter.reset();
  runPhase(mine, phaseWorker(phase), startNs, stats);
}

void runPhase(const PhasePlan& plan, WorkerRoutine worker, uint64_t startNs,
              PhaseStats* stats) {
  const unsigned threads = std::clamp(plan.threads, 1u, kMaxThreads);
  WorkerTally tallies[kMaxThreads];
  std::atomic<uint64_t> refusals{0};
  for (unsigned t = 0; t < kMaxThreads; ++t) {
    tallies[t].refusals = &refusals;
    tallies[t].cursor.thread = t;
  }
  // One histogram a thread, on the heap for their size (38 KB each), and only
  // when files are timed.
  std::unique_ptr<LatencyHistogram[]> latency;
  if (plan.timeFiles) {
    latency = std::make_unique<LatencyHistogram[]>(threads);
    for (unsigned t = 0; t < threads; ++t) tallies[t].latency = &latency[t];
  }
  const uint64_t start = monotonicNs();
  const uint64_t startTicks = latencyTicks();
  // Tally 0 is the calling thread's; started threads take the next ones.
  WorkerThreads others;
  const int startError = others.start(plan, worker, tallies, threads);
  const unsigned started = others.started;
  if (started + 1 < threads) {
    logMessage("Warning: %u of %u threads could not be started (%s)\n",
               threads - 1 - started, threads - 1, strerror(startError));
  }

  Reporter reporter;
  reporter.plan = &plan;
  reporter.startNs = startNs;
  reporter.timeline.samples.reserve(kTimelineSamples);
  const int reporterError =
      reporter.thread.start(progressReporter, &reporter, plan.startThread);
  if (reporterError != 0) {
    // The phase runs as well without it (the workers watch the deadline),
    // but shows no progress and has no timeline.
    logMessage("Warning: the progress reporter could not be started (%s)\n",
               strerror(reporterError));
  }

  worker(plan, &tallies[0]);
  others.join();
  // Durability is what the mode measures: its time is the file work's.
  const uint64_t syncStart = monotonicNs();
  const int syncError =
      plan.syncFd >= 0 && syncfs(plan.syncFd) != 0 ? errno : 0;
  const uint64_t endTicks = latencyTicks();
  const uint64_t end = monotonicNs();

  reporter.thread.stop();
  if (plan.progress) clearLine(true, reporter.drawn);

  *stats = PhaseStats{};
  stats->fileSeconds = secondsBetween(start, end);
  stats->syncError = syncError;
  if (plan.syncFd >= 0) stats->syncSeconds = secondsBetween(syncStart, end);
  if (endTicks > startTicks) {
    stats->nsPerTick = static_cast<double>(end - start) /
                       static_cast<double>(endTicks - startTicks);
  }
  stats->handedOut = plan.numbers->handedOut();
  stats->threadsRun = started + 1;
  // Kept as long as the run, so no larger than it is.
  stats->timeline = std::move(reporter.timeline.samples);
  stats->timeline.shrink_to_fit();
  mergeTallies(tallies, started + 1, stats);
}

}  // namespace treeflood
