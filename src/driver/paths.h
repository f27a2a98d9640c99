// Paths as the run's checks compare them: made absolute, with their links
// resolved, and placed against the tree.
#ifndef TREEFLOOD_DRIVER_PATHS_H_
#define TREEFLOOD_DRIVER_PATHS_H_

#include <string>

namespace treeflood {

// `path` from the current directory when it is relative; as it is when it is
// absolute or the current directory can't be read.
std::string absolutePath(const std::string& path);

// Whether the output file `path` would stand where a run makes or removes
// entries in the working directory open on `workFd`: in one of its
// directories' names, or at such a name or a file's in it.
bool inTree(int workFd, const std::string& path);

// Whether `a` and `b` name one file, or would once it exists.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_PATHS_H_
