#include "work/grants.h"

#include <algorithm>

#include "work/latency.h"

namespace treeflood {

uint64_t grantSize(uint64_t unhanded, unsigned threads, uint64_t bound) {
  uint64_t size = unhanded / (kGrantParts * std::max(threads, 1u));
  if (bound != 0) size = std::min(size, bound);
  return std::min(std::max<uint64_t>(size, 1), unhanded);
}

void GrantPool::start(uint64_t limitCount, unsigned threadCount,
                      uint64_t boundSize, uint64_t startAtNs,
                      uint64_t deadlineAtNs) {
  limit = limitCount;
  threads = threadCount;
  bound = boundSize;
  startNs = startAtNs;
  deadlineNs = deadlineAtNs;
  next = 0;
  worked = 0;
  closed = false;
  timeUp = false;
}

Grant GrantPool::take(uint64_t nowNs) {
  if (closed.load(std::memory_order_relaxed)) return {limit, limit};
  if (deadlineNs != 0 && nowNs >= deadlineNs) {
    timeUp = true;
    return {limit, limit};
  }
  uint64_t first = next.load(std::memory_order_relaxed);
  for (;;) {
    if (first >= limit) return {limit, limit};
    uint64_t unhanded = limit - first;
    // Counted as unhanded: at most what the files begun so far would take
    // over the horizon at their rate (not the numbers handed out: a grant
    // in hand is not yet a rate, and counting it would grow the next grants
    // without bound).
    const double elapsed =
        nowNs > startNs ? static_cast<double>(nowNs - startNs) : 0;
    const double rate =
        elapsed > 0
            ? static_cast<double>(worked.load(std::memory_order_relaxed)) /
                  elapsed
            : 0;
    double horizon = kGrantHorizonNs;
    if (deadlineNs != 0) {
      horizon = std::min(
          horizon, static_cast<double>(deadlineNs - nowNs) / kDeadlineParts);
    }
    unhanded = std::min(unhanded, static_cast<uint64_t>(rate * horizon) + 1);
    const uint64_t end = first + grantSize(unhanded, threads, bound);
    if (next.compare_exchange_weak(first, end, std::memory_order_relaxed)) {
      return {first, end};
    }
  }
}

uint64_t GrantedCounter::next(NumberCursor* cursor) {
  // A stop or a silent rank closes the pool: the rest of a grant is left.
  if (cursor->first == cursor->end ||
      pool->closed.load(std::memory_order_relaxed)) {
    const Grant grant = pool->take(monotonicNs());
    cursor->first = grant.first;
    cursor->end = grant.end;
    if (cursor->first == cursor->end) return UINT64_MAX;
  }
  pool->worked.fetch_add(1, std::memory_order_relaxed);
  return cursor->first++;
}

}  // namespace treeflood
