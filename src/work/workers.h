// The per-file and per-directory operations of the tree. Every thread of a
// phase runs the same worker routine: take the next file number from the
// plan's source, apply the operation to that file, until the numbers run out.
// Entries are reached through the directories' descriptors and never through
// a link.
#ifndef TREEFLOOD_WORK_WORKERS_H_
#define TREEFLOOD_WORK_WORKERS_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "work/content.h"
#include "work/latency.h"
#include "work/plan.h"

namespace treeflood {

// Zero bytes aligned to 4096, as many as a file holds, written unchanged into
// every file.
extern char* dataBlock;

// Allocates dataBlock for files of `fileSize` bytes. Returns false if it
// can't be allocated.
bool initWork(size_t fileSize);

// The most a thread of the read phase reads at once.
const size_t kReadBufferSize = size_t{1} << 20;

// Failure codes of our own beside the errno values, for entries that are
// there but are not the run's to touch.
const int kNotRegular = -1;  // a link, FIFO, device or directory
const int kOtherLinks = -2;  // a regular file that also stands elsewhere
const int kOtherOwner = -3;  // a regular file that another user owns
// And, for a file read back that differs from what was written, the kinds
// of Difference.

// The operations that failed, on files or on directories: how many, and the
// one with the lowest number, by the call that failed and its error, and for
// a file whose content differs, where and how.
struct PhaseFailures {
  uint64_t count = 0;
  uint64_t firstIndex = 0;
  const char* firstCall = nullptr;
  int firstError = 0;
  Difference firstDifference;
};

// The text of a failure's error: the system's for an errno value, or ours.
const char* failureError(int error);

// Records the failure of number `index`, keeping the lowest-numbered one;
// `difference` says where it differs, for a file read back.
void countFailure(PhaseFailures* failures, uint64_t index, const char* call,
                  int error, const Difference& difference = {});

// Adds `from` to `into`, keeping the failure with the lower number.
void mergeFailures(PhaseFailures* into, const PhaseFailures& from);

// What one thread's worker found, merged after the threads are joined.
// Aligned to a cache line so that neighbouring tallies never share one.
struct alignas(64) WorkerTally {
  PhaseFailures failures;
  // Files read back whose length or bytes differ from what was written; they
  // are among the failures too.
  PhaseFailures differs;
  int64_t blocks = 0;  // st_blocks (512-byte units) of the files measured
  // Where to record the latency of each file whose operation succeeded
  // (failed files are only counted), or null not to time files.
  LatencyHistogram* latency = nullptr;
  bool timeUp = false;  // stopped by the plan's deadline
  // Create: the numbers whose names held an entry the run did not make, and
  // the phase's count of them over all threads; set once that count reaches
  // the plan's maxRefused, which stops this thread.
  std::vector<uint64_t> refused;
  std::atomic<uint64_t>* refusals = nullptr;
  bool halted = false;
  NumberCursor cursor;  // this thread's, for the plan's source
};

// A phase's per-file loop; returns when the numbers run out, the plan's stop
// flag is set, its deadline has passed or the tally is halted. Numbers in
// plan.refused are skipped: neither touched nor counted.
using WorkerRoutine = void (*)(const PhasePlan& plan, WorkerTally* tally);

// The phases of an iteration, in the order they run; results are indexed by
// them. The listing is one run of ls over the whole tree; the others go file
// by file on the runner's threads.
enum class Phase : uint8_t { Create, List, Size, Read, Delete };
const int kNbPhases = 5;
inline constexpr Phase kPhases[kNbPhases] = {
    Phase::Create, Phase::List, Phase::Size, Phase::Read, Phase::Delete};

// "create", "list", "size", "read" or "delete": the phase's name in the
// summary, the JSON, the CSV and the comparison.
const char* phaseName(Phase phase);

// The worker routine of a file phase; null for the listing, which has none.
WorkerRoutine phaseWorker(Phase phase);

// Given a histogram in its tally, each worker times every file's operation
// (create: open, write, fsync if asked and close; size: stat; read: open,
// read and close; delete: unlink).

// Creates each file with O_EXCL and writes plan.fileSize bytes of what it
// holds into it (none for 0), random data through a buffer of at most
// kMaxSpan that the thread allocates once, then fsyncs it if the plan says
// so. A regular file with
// one link that the run's user owns, which an earlier run may have left, is
// unlinked and made anew; anything else at the name is left as it is,
// counted as failed and its number kept in the tally's `refused`.
void createWorker(const PhasePlan& plan, WorkerTally* tally);

// Adds each file's st_blocks to the tally; an entry that can't be stat'ed or
// is not a regular file adds nothing and is counted as failed.
void sizeWorker(const PhasePlan& plan, WorkerTally* tally);

// Reads each file back, with O_DIRECT if the plan's create flags have it,
// into a buffer of at most 1 MiB that the thread allocates once, and checks
// its length and bytes against what it should hold: one that differs fails,
// and is counted in the tally's `differs` with how (describeDifference; a
// run of zero blocks is followed to its end). A short read at the expected
// length is taken as the end of the file, so a file of one buffer or less
// costs one read. An entry that is not a regular file fails unread.
void readWorker(const PhasePlan& plan, WorkerTally* tally);

// Unlinks each file; a link is removed itself, never what it points to.
void deleteWorker(const PhasePlan& plan, WorkerTally* tally);

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_WORKERS_H_
