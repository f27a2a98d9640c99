// Ranges of file numbers handed out by guided self-scheduling, for processes
// that draw from one pool over a network: each grant is a share of the
// numbers still unhanded, so grants are large while much is left and shrink
// to one number toward the end, and no thread holds a large range when the
// others run out.
#ifndef TREEFLOOD_WORK_GRANTS_H_
#define TREEFLOOD_WORK_GRANTS_H_

#include <stdint.h>

#include <atomic>

#include "work/plan.h"

namespace treeflood {

// The numbers [first, end); empty once there are no more.
struct Grant {
  uint64_t first = 0, end = 0;
};

// A grant is the numbers still unhanded over kGrantParts times all threads:
// with 2, a thread's first grant is half of its even share, so the last
// grants can still even out threads that run at different speeds.
const uint64_t kGrantParts = 2;

// The numbers counted as unhanded are at most those that the files begun so
// far would take, at their rate, over kGrantHorizonNs, or under a time limit
// over 1/kDeadlineParts of the time left if less. So a grant holds at most
// about a quarter second of a thread's work: a stop, a slow rank or a stopped
// one leaves little of it unworked. Grants start at one number, until a
// rate is known.
const double kGrantHorizonNs = 5e8;
const double kDeadlineParts = 4;

// The size of a grant out of `unhanded` numbers for `threads` threads:
// unhanded / (kGrantParts x threads), at least 1, at most `bound` unless it
// is 0, and never more than `unhanded`.
uint64_t grantSize(uint64_t unhanded, unsigned threads, uint64_t bound);

// A phase's numbers, [0, limit), handed out in grants. Thread-safe; set up
// by start() while nobody takes from it.
struct GrantPool {
  uint64_t limit = 0;
  unsigned threads = 1;  // of all processes
  uint64_t bound = 0;    // the largest grant, or 0 for none
  // The monotonicNs readings of the phase's start and of its time limit (0
  // for none). Under a time limit, no grant is handed out past it, and
  // grants shrink with the time left (kDeadlineParts), so that the phase
  // ends close to it without any thread leaving a number of its grant
  // unworked, which the later phases would miss.
  uint64_t startNs = 0, deadlineNs = 0;
  std::atomic<uint64_t> next{0};    // the first number not handed out
  std::atomic<uint64_t> worked{0};  // files begun, as counted by the takers
  std::atomic<bool> closed{false};  // no more grants: the phase is stopped
  std::atomic<bool> timeUp{false};  // a grant was refused at the time limit

  // Starts a phase over [0, limit).
  void start(uint64_t limitCount, unsigned threadCount, uint64_t boundSize,
             uint64_t startAtNs, uint64_t deadlineAtNs);
  // The next grant, taken at `nowNs`: every number once, in increasing
  // order; an empty grant once the numbers run out, the pool is closed or
  // the time limit has passed.
  Grant take(uint64_t nowNs);
};

// Rank 0's own threads' source: each draws its numbers from grants of
// `pool`, as the other ranks' threads do, so that where the pool lives
// favours no one. Counts each number it hands out below the limit in
// pool.worked.
struct GrantedCounter final : FileNumberSource {
  GrantPool* pool = nullptr;

  // The pool is started for each phase before the counter is reset.
  void reset() override {}
  // Takes from the grant in `cursor`, and a new one once it is used up.
  uint64_t next(NumberCursor* cursor) override;
  // The files begun in the phase by every process, as far as they are known.
  uint64_t handedOut() const override {
    return pool->worked.load(std::memory_order_relaxed);
  }
};

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_GRANTS_H_
