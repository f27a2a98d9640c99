// The order in which a phase visits its files: the numbers as drawn, or a
// pseudo-random bijection of them that a seed fixes.
#ifndef TREEFLOOD_WORK_ORDER_H_
#define TREEFLOOD_WORK_ORDER_H_

#include <stdint.h>

namespace treeflood {

// A pseudo-random bijection of 0..count-1, fixed by its keys: rounds of
// bijections of the smallest power-of-two range that holds count (an XOR, a
// multiplication by an odd number, an XOR with the high half), applied again
// while the result is count or more. Each step is a bijection of the range,
// so the walk from a number below count comes back below count, on average
// in fewer than two rounds. Plain data, so that it can be sent to another
// process as bytes.
struct Permutation {
  uint64_t count = 0;
  uint64_t mask = 0;  // the range's size minus 1
  uint64_t keys[2] = {};
  uint64_t multipliers[2] = {1, 1};  // odd
  uint32_t shift = 1;
};

// The permutation of 0..count-1 for `seed` and `stream`: different streams
// of one seed give orders unrelated to each other.
Permutation makePermutation(uint64_t count, uint64_t seed, uint64_t stream);

// The image of `i`, below p.count, under `p`.
inline uint64_t permute(const Permutation& p, uint64_t i) {
  do {
    i = ((i ^ p.keys[0]) * p.multipliers[0]) & p.mask;
    i ^= i >> p.shift;
    i = ((i ^ p.keys[1]) * p.multipliers[1]) & p.mask;
    i ^= i >> p.shift;
  } while (i >= p.count);
  return i;
}

// How a phase maps the numbers it draws, 0..files-1, to file numbers: as
// they are, or through its own permutation, and then, in a phase after a
// create phase that made only `files` of the `asked` numbers (a time limit
// or a stop), through the create phase's permutation, so that the phase
// visits exactly the files made.
struct FileOrder {
  bool random = false;
  bool remap = false;
  Permutation visit;  // over the phase's files
  Permutation made;   // the create phase's, over the files it was asked for
};

// The file that a phase of `order` visits for the number `i` it drew.
inline uint64_t fileOf(const FileOrder& order, uint64_t i) {
  i = permute(order.visit, i);
  return order.remap ? permute(order.made, i) : i;
}

// 64 random bits for a seed or a name: the kernel's, or where it has none
// to give, the clock's and the process id's.
uint64_t randomSeed();

// The random order of phase number `phase` (0 for the create phase) over
// `files` files, of the `asked` the create phase was asked for.
FileOrder randomOrder(uint64_t seed, unsigned phase, uint64_t files,
                      uint64_t asked);

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_ORDER_H_
