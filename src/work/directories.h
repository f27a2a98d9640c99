// The tree's directories: made and opened without following a link, measured,
// and removed once empty.
#ifndef TREEFLOOD_WORK_DIRECTORIES_H_
#define TREEFLOOD_WORK_DIRECTORIES_H_

#include <stdint.h>

#include "work/layout.h"
#include "work/workers.h"

namespace treeflood {

// Whether openDirectories makes the directories that are missing.
enum class DirectoryMode { OpenOnly, MakeMissing };

// Opens each of the layout's directories under `workFd` without following a
// link into `dirFds`, first making those that are missing in MakeMissing
// mode. A directory that can't be made or opened is counted in `failures`,
// by its number, and its entry is minus the errno. In MakeMissing mode,
// those that were there already and that another user owns or others may
// write into (without the sticky bit) are counted in `exposed`.
void openDirectories(int workFd, const TreeLayout& layout, DirectoryMode mode,
                     int* dirFds, PhaseFailures* failures,
                     PhaseFailures* exposed = nullptr);

// Closes those of the layout's `dirFds` that are open and marks them closed.
void closeDirectories(const TreeLayout& layout, int* dirFds);

// st_blocks of the working directory and of the directories that are open.
int64_t directoryBlocks(int workFd, const TreeLayout& layout,
                        const int* dirFds);

// Closes the open directories and removes them; those that still hold
// entries stay and are counted in `failures`.
void removeDirectories(int workFd, const TreeLayout& layout, int* dirFds,
                       PhaseFailures* failures);

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_DIRECTORIES_H_
