// The monotonic clock every duration the program reports is measured with.
#ifndef TREEFLOOD_CONSOLE_CLOCK_H_
#define TREEFLOOD_CONSOLE_CLOCK_H_

#include <stdint.h>
#include <time.h>

namespace treeflood {

// Nanoseconds on the monotonic clock, which a step of the wall clock can't
// make wrong or negative.
inline uint64_t monotonicNs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u +
         static_cast<uint64_t>(t.tv_nsec);
}

// Seconds from monotonicNs reading `start` to `end`.
inline double secondsBetween(uint64_t start, uint64_t end) {
  return static_cast<double>(end - start) / 1e9;
}

}  // namespace treeflood

#endif  // TREEFLOOD_CONSOLE_CLOCK_H_
