// What a phase works on: the record the run builds once and hands to every
// worker and to the progress reporter, and the source of its file numbers.
#ifndef TREEFLOOD_WORK_PLAN_H_
#define TREEFLOOD_WORK_PLAN_H_

#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <vector>

#include "work/content.h"
#include "work/layout.h"
#include "work/order.h"
#include "work/owners.h"

namespace treeflood {

// The length files are given unless the run says otherwise; a multiple of
// 512 for direct I/O.
const size_t kDefaultFileSize = 10240;

// What makes the create phase durable: nothing (the page cache keeps the
// files), an fsync of each file before its close, or one syncfs of the file
// system once the files are done.
enum SyncMode : uint8_t { kSyncNone, kSyncFile, kSyncPhase };

// A thread's own place in a phase's numbers, which it keeps from its first
// draw to its last: its number among the phase's threads, and the range of
// numbers it holds, for a source that hands them out in ranges.
struct NumberCursor {
  unsigned thread = 0;
  uint64_t first = 0, end = 0;
};

// Where a phase's file numbers come from. Every number is handed out exactly
// once per phase, and each caller sees its numbers in increasing order.
struct FileNumberSource {
  // Starts a phase: numbers are handed out from 0 again. Called while no
  // worker runs.
  virtual void reset() = 0;
  // The next number for the thread of `cursor`, a cursor that starts empty
  // in each phase; past the phase's count once the files run out.
  // Thread-safe.
  virtual uint64_t next(NumberCursor* cursor) = 0;
  // How many numbers have been handed out in this phase; can run past the
  // phase's count. Thread-safe.
  virtual uint64_t handedOut() const = 0;

 protected:
  ~FileNumberSource() = default;
};

// One counter shared by the threads of this process. An atomic fetch-and-add
// hands out each number exactly once, in increasing order, without a lock that
// threads would queue on between their system calls.
struct SharedCounter final : FileNumberSource {
  void reset() override { value.store(0, std::memory_order_relaxed); }
  // Relaxed: the number itself is all a worker needs; the phase's results are
  // published by the threads' join.
  uint64_t next(NumberCursor*) override {
    return value.fetch_add(1, std::memory_order_relaxed);
  }
  uint64_t handedOut() const override {
    return value.load(std::memory_order_relaxed);
  }
  std::atomic<uint64_t> value{0};
};

// A flag nobody sets, for phases that always run to the end.
extern const std::atomic<bool> kNeverStop;

// The most file numbers a create phase may refuse before the run stops: each
// is kept, 8 bytes, until the run ends.
const uint64_t kMaxRefused = 1000000;

// How often the progress reporter wakes, unless a plan says otherwise.
const uint64_t kReportIntervalNs = 250000000;

struct PhasePlan {
  uint64_t nbFiles = 0;
  TreeLayout layout;
  // Write and read the files with O_DIRECT, past the page cache.
  bool directIo = true;
  size_t fileSize = kDefaultFileSize;  // bytes in each file
  // What the files hold: zeros (dataBlock) when null, else these bytes.
  const RandomData* data = nullptr;
  unsigned threads = 1;  // 1 to 64
  // Time each file's operation, for the latency figures.
  bool timeFiles = false;
  // Create: fsync each file after its write and before its close.
  bool syncFiles = false;
  // When 0 or more, runPhase calls syncfs on this descriptor once the
  // workers are done, within the file work.
  int syncFd = -1;
  // How the numbers drawn map to files; as drawn unless the run says
  // otherwise.
  FileOrder order;
  // The file numbers whose names the create phase found held by an entry it
  // did not make and may not replace, sorted: a later phase skips them
  // without a word. Null for none, and for the create phase.
  const std::vector<uint64_t>* refused = nullptr;
  // Create: once this many numbers are refused, each thread stops drawing at
  // its next refusal.
  uint64_t maxRefused = kMaxRefused;
  // Set by the phase runner, which owns the source.
  FileNumberSource* numbers = nullptr;
  // The layout's directories, opened without following links; an entry below 0
  // is minus the errno of a directory that could not be opened.
  const int* dirFds = nullptr;
  // Set by a stop signal: no more numbers are drawn; files in flight finish.
  const std::atomic<bool>* stop = &kNeverStop;
  // When not 0, the monotonicNs reading after which no thread draws another
  // number. Each thread reads the clock before each draw, so the phase ends
  // at most one file per thread late, whether or not the reporter runs.
  uint64_t deadlineNs = 0;
  // The progress reporter's period; its line shows after 8 wakes, and the
  // rate over the last 4.
  uint64_t reportIntervalNs = kReportIntervalNs;
  // Draw the live progress line, and erase it at the end; without it only
  // the reporter's dated lines are written.
  bool progress = true;
  // Write neither: the phase's lines are another process's to write.
  bool quiet = false;
  ThreadStarter startThread = pthread_create;
};

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_PLAN_H_
