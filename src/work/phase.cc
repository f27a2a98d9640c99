#include "work/phase.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>

#include "console/output.h"
#include "console/report.h"
#include "console/texts.h"
#include "driver/settings.h"

namespace {

const unsigned kMaxThreads = 64;
const char kLiveLine[] = "\rworking... eta: %E, %40b [%p]";
const char kDatedLine[] = "eta: %E [%p]\n";
// Once a phase has run a multiple of this many seconds, the reporter writes
// a dated line that stays on the screen.
const uint64_t kDatedLinePeriod = 16384;

// The reporter waits on a condition variable rather than sleeping, so that
// runPhase can stop it at once instead of waiting out a 250 ms tick.
std::mutex stopLock;
std::condition_variable stopSignal;
bool stopRequested = false;

// Waits `delay`, or less if a stop is requested. Returns false on a stop.
bool waitUnlessStopped(std::chrono::microseconds delay) {
  std::unique_lock<std::mutex> hold(stopLock);
  // wait_for measures on the steady clock, so a step of the wall clock
  // neither stretches nor cuts the wait.
  return !stopSignal.wait_for(hold, delay, [] { return stopRequested; });
}

uint64_t monotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec);
}

struct WorkerStart {
  WorkerRoutine worker;
  WorkerTally* tally;
};

void* runWorker(void* arg) {
  const WorkerStart* start = static_cast<WorkerStart*>(arg);
  start->worker(start->tally);
  return nullptr;
}

}  // namespace

ThreadStarter startThread = pthread_create;

void* progressReporter(void*) {
  using std::chrono::microseconds;
  const uint64_t nbFiles = runSettings.nbFiles;
  const uint64_t t0 = monotonicSeconds();
  if (!waitUnlessStopped(microseconds(2000000))) return nullptr;
  uint64_t done = 0;
  unsigned ticks = 0;
  for (;;) {
    if (ticks <= 3) {
      if (!waitUnlessStopped(microseconds(250000))) return nullptr;
      // Each worker's last call still advances the counter, so it can run
      // past nbFiles; the line never shows more than all of the files.
      done = std::min(readCounter(), nbFiles);
      if (done < nbFiles) {
        clearLine(false);
        reportProgress(kLiveLine, done);
        ++ticks;
        continue;
      }
    }
    if (((monotonicSeconds() - t0) & (kDatedLinePeriod - 1)) == 0) {
      char clock[32];
      clockText(clock, sizeof clock);
      clearLine(false);
      logMessage("At %s, ", clock);
      reportProgress(kDatedLine, done);
    }
    ticks = 0;
  }
}

void runPhase(WorkerRoutine worker, unsigned threads, bool timeFiles,
              PhaseStats* stats) {
  // One histogram a thread, kept off the stack for their size; only those of
  // threads in use are touched.
  static LatencyHistogram threadLatency[kMaxThreads];
  threads = std::clamp(threads, 1u, kMaxThreads);
  workCounter = 0;
  WorkerTally tallies[kMaxThreads];
  for (unsigned t = 0; timeFiles && t < threads; ++t) {
    threadLatency[t] = LatencyHistogram{};
    tallies[t].latency = &threadLatency[t];
  }
  const uint64_t start = monotonicNs();
  const uint64_t startTicks = latencyTicks();
  WorkerStart starts[kMaxThreads - 1];
  pthread_t handles[kMaxThreads - 1];
  // Tally 0 is the calling thread's; started threads take the next ones.
  unsigned started = 0;
  int startError = 0;
  for (unsigned t = 1; t < threads; ++t) {
    starts[started] = {worker, &tallies[started + 1]};
    int error =
        startThread(&handles[started], nullptr, runWorker, &starts[started]);
    if (error == 0) {
      ++started;
    } else {
      startError = error;
    }
  }
  if (started + 1 < threads) {
    logMessage("Warning: %u of %u threads could not be started (%s)\n",
               threads - 1 - started, threads - 1, strerror(startError));
  }

  stopRequested = false;
  pthread_t reporter;
  bool reporting =
      startThread(&reporter, nullptr, progressReporter, nullptr) == 0;

  worker(&tallies[0]);
  for (unsigned t = 0; t < started; ++t) pthread_join(handles[t], nullptr);
  const uint64_t endTicks = latencyTicks();
  const uint64_t end = monotonicNs();

  if (reporting) {
    {
      std::lock_guard<std::mutex> hold(stopLock);
      stopRequested = true;
    }
    stopSignal.notify_all();
    pthread_join(reporter, nullptr);
  }
  clearLine(true);

  *stats = PhaseStats{};
  stats->fileSeconds = static_cast<double>(end - start) / 1e9;
  if (endTicks > startTicks) {
    stats->nsPerTick = static_cast<double>(end - start) /
                       static_cast<double>(endTicks - startTicks);
  }
  for (unsigned t = 0; t <= started; ++t) {
    mergeFailures(&stats->failures, tallies[t].failures);
    if (timeFiles) mergeLatency(&stats->latency, threadLatency[t]);
  }
}
