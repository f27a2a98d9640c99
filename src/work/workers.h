// The shared work counter and the three per-file operations. Every thread of
// a phase runs the same worker routine: take the next file number, turn it
// into a path, apply the operation, until the numbers run out.
#ifndef TREEFLOOD_WORK_WORKERS_H_
#define TREEFLOOD_WORK_WORKERS_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>

#include "work/latency.h"

// The length every file is given; a multiple of 512 for direct I/O.
const size_t kDataBlockSize = 10240;

// The next file number to hand out. An atomic fetch-and-add hands out each
// number exactly once, in increasing order, without a lock that threads would
// queue on between their system calls.
extern std::atomic<uint64_t> workCounter;

// Sum of st_blocks (512-byte units) over the files the size phase measured,
// guarded by sizeLock.
extern int64_t fileBlocks;
extern std::mutex sizeLock;

// 10240 zero bytes aligned to 4096, written unchanged into every file.
extern char* dataBlock;

// Allocates dataBlock. Returns false if it can't be allocated.
bool initWork();

// Hands out the next file number. Every number is handed out exactly once
// per phase, in increasing order across all threads. Thread-safe.
inline uint64_t nextIndex() {
  // Relaxed: the number itself is all a worker needs; the phase's results
  // are published by the threads' join.
  return workCounter.fetch_add(1, std::memory_order_relaxed);
}

// The counter as it stands; for the progress reporter. Thread-safe.
inline uint64_t readCounter() {
  return workCounter.load(std::memory_order_relaxed);
}

// The file operations of a phase that failed: how many files, and the one
// with the lowest number, by the call that failed and its errno (0 for a
// write that wrote less than the whole block).
struct PhaseFailures {
  uint64_t count = 0;
  uint64_t firstIndex = 0;
  const char* firstCall = nullptr;
  int firstError = 0;
};

// The text of a failure's error: the system's, or "short write" for 0.
const char* failureError(int error);

// Adds `from` to `into`, keeping the failure with the lower file number.
void mergeFailures(PhaseFailures* into, const PhaseFailures& from);

// What one thread's worker found, merged after the threads are joined.
// Aligned to a cache line so that neighbouring tallies never share one.
struct alignas(64) WorkerTally {
  PhaseFailures failures;
  int64_t blocks = 0;
  // Where to record the latency of each file whose operation succeeded
  // (failed files are only counted), or null not to time files. Owned by
  // the caller, one per thread.
  LatencyHistogram* latency = nullptr;
};

// Records the failure of file `index` in `tally`.
void countFailure(WorkerTally* tally, uint64_t index, const char* call,
                  int error);

// A phase's per-file loop; returns when the numbers run out.
using WorkerRoutine = void (*)(WorkerTally* tally);

// Given a histogram in its tally, each worker times every file's operation
// (create: open, write and close; size: stat; delete: unlink).

// Truncates or creates each file with the run's open flags and writes
// dataBlock into it.
void createWorker(WorkerTally* tally);

// Adds each file's st_blocks to fileBlocks; a file that can't be stat'ed
// adds nothing.
void sizeWorker(WorkerTally* tally);

// Unlinks each file.
void deleteWorker(WorkerTally* tally);

#endif  // TREEFLOOD_WORK_WORKERS_H_
