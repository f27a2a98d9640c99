// What a killed run left in a working directory, removed by --cleanup
// without touching anything that is not a run's.
#ifndef TREEFLOOD_WORK_LEFTOVERS_H_
#define TREEFLOOD_WORK_LEFTOVERS_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace treeflood {

// How many of the entries that stay removeLeftovers names.
const size_t kStayedShown = 5;

// What removeLeftovers did: the entries it removed, and those that stay,
// with the first few by path, each as "path: reason".
struct LeftoverTally {
  uint64_t files = 0, dirs = 0;
  uint64_t stayed = 0;
  std::vector<std::string> firstStayed;
};

// Removes what a run of this user may have left in the directory open on
// `workFd`, on its file system alone: in each directory named "d_" and 3 or 4
// lower-case hex digits, the regular files named "f_" and 1 to 16 of them
// that this user owns and that have no other link; then each such directory
// that is this user's and empty. Nothing is followed or entered across a
// mount; every other entry stays, and those with a run's names, or in a run's
// directories, are counted in `stayed`. A directory that stays only for what
// it holds is not counted again.
void removeLeftovers(int workFd, LeftoverTally* tally);

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_LEFTOVERS_H_
