// Costs of the tool's own per-file and per-report code, apart from the
// system calls it measures.
#include <benchmark/benchmark.h>

#include "console/report.h"
#include "work/content.h"
#include "work/latency.h"
#include "work/layout.h"
#include "work/order.h"
#include "work/plan.h"

using namespace treeflood;

namespace {

void BM_filePath(benchmark::State& state) {
  TreeLayout layout = computeLayout(100000);
  char path[32];
  uint64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(filePath(layout, i++ % 100000, path));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_filePath);

// A number from the shared counter, through the source interface as the
// workers draw it.
SharedCounter counter;
FileNumberSource* source = &counter;

void BM_nextIndex(benchmark::State& state) {
  NumberCursor cursor;
  for (auto _ : state) benchmark::DoNotOptimize(source->next(&cursor));
}
BENCHMARK(BM_nextIndex)->Threads(1)->Threads(2)->Threads(8);

// What --order random adds to each file: the number drawn mapped through the
// phase's permutation, and for a later phase after a time limit, the create
// phase's too (argument 1).
void BM_randomOrder(benchmark::State& state) {
  const uint64_t files = 100000;
  const FileOrder order =
      randomOrder(1, 2, files, state.range(0) != 0 ? 2 * files : files);
  uint64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fileOf(order, i));
    if (++i == files) i = 0;
  }
}
BENCHMARK(BM_randomOrder)->Arg(0)->Arg(1);

void BM_expandLiveLine(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        expandTemplate("\rworking... eta: %E, %40b [%p]", 42000, 100000, 60.0));
  }
}
BENCHMARK(BM_expandLiveLine);

// What timing one file costs: two timestamps and a histogram update, with
// the time-stamp counter (1) where the machine allows, or the monotonic
// clock (0).
void BM_timeOneFile(benchmark::State& state) {
  initLatencyClock();
  if (state.range(0) == 0) tscClock = false;
  if (state.range(0) == 1 && !tscClock) state.SkipWithError("no TSC clock");
  static LatencyHistogram histogram;
  for (auto _ : state) {
    uint64_t start = latencyTicks();
    recordLatency(&histogram, latencyTicks() - start);
  }
  benchmark::DoNotOptimize(histogram.total);
}
BENCHMARK(BM_timeOneFile)->Arg(0)->Arg(1);

}  // namespace

// What --data random adds to each file of the default size: its bytes made in
// the thread's buffer before the write, and checked in place after the read.
void BM_randomData(benchmark::State& state) {
  static RandomData data;
  if (!data.pool.data()) makeRandomData(1, &data);
  static char buffer[kDefaultFileSize];
  uint64_t i = 0;
  for (auto _ : state) {
    fillData(data, i, 0, kDefaultFileSize, buffer);
    if (state.range(0) == 1) {
      benchmark::DoNotOptimize(holdsData(data, i, 0, buffer, kDefaultFileSize));
    }
    benchmark::ClobberMemory();
    i = (i + 7919) % 100000;
  }
}
BENCHMARK(BM_randomData)->Arg(0)->Arg(1);

BENCHMARK_MAIN();
