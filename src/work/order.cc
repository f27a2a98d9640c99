#include "work/order.h"

#include <sys/random.h>
#include <unistd.h>

#include <bit>

#include "console/clock.h"

namespace treeflood {

uint64_t randomSeed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) == sizeof seed) return seed;
  return monotonicNs() ^ static_cast<uint64_t>(getpid());
}

namespace {

// SplitMix64's step: each call a well-mixed 64-bit value from a counter.
uint64_t splitMix(uint64_t* state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

}  // namespace

Permutation makePermutation(uint64_t count, uint64_t seed, uint64_t stream) {
  Permutation p;
  p.count = count;
  const int bits = count > 1 ? static_cast<int>(std::bit_width(count - 1)) : 0;
  p.mask = bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
  // The high half is folded onto the low one; at least one bit, so that the
  // step stays a bijection of a range of one or two numbers too.
  p.shift = static_cast<uint32_t>(bits > 1 ? (bits + 1) / 2 : 1);
  uint64_t state = seed ^ (stream * 0xd1b54a32d192ed03);
  for (int r = 0; r < 2; ++r) {
    p.keys[r] = splitMix(&state) & p.mask;
    p.multipliers[r] = splitMix(&state) | 1;
  }
  return p;
}

FileOrder randomOrder(uint64_t seed, unsigned phase, uint64_t files,
                      uint64_t asked) {
  FileOrder order;
  order.random = true;
  order.visit = makePermutation(files, seed, phase);
  order.remap = phase != 0 && files < asked;
  if (order.remap) order.made = makePermutation(asked, seed, 0);
  return order;
}

}  // namespace treeflood
