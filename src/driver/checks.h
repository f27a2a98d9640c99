// What a run checks before it makes anything: the working directory and its
// lock, direct I/O there, the descriptor limit, the caches' switch, and the
// output files. Each check returns what it refused, with the text the run
// prints for it, and prints nothing itself.
#ifndef TREEFLOOD_DRIVER_CHECKS_H_
#define TREEFLOOD_DRIVER_CHECKS_H_

#include <stddef.h>

#include <string>

#include "console/output.h"
#include "driver/settings.h"
#include "work/owners.h"

namespace treeflood {

// The working directory, open.
struct WorkDir {
  UniqueFd fd;
  std::string path;  // absolute, its links resolved where it can be
  // flock's errno when the directory could not be locked and the run goes
  // on unguarded (some network file systems have no locks); else 0.
  int lockError = 0;
};

// Opens the settings' working directory and locks it against a second run.
Failure openWorkDir(const RunSettings& settings, WorkDir* dir);

// The warning line for a working directory that could not be locked, with
// flock's `error`.
std::string lockWarning(int error);

// Writes what the create phase will write, with O_DIRECT, to a nameless file
// in the working directory: refused when the file system refuses it, passed
// also when it can't tell (no O_TMPFILE there).
Failure checkDirectIo(const WorkDir& dir, size_t fileSize);

// Raises the soft limit of open files to what `dirs` directories need
// beside the rest; refused when the hard limit is lower.
Failure raiseDescriptorLimit(unsigned dirs);

// Opens the kernel's switch that drops the caches, which only root may.
Failure openDropCaches(UniqueFd* fd);

// Writes what the file system of `workFd` holds to its disk, then drops the
// page, dentry and inode caches through `dropFd`, so that the next phase
// reads cold metadata. Returns whether both worked; a failure is said in a
// warning line.
bool dropCaches(int workFd, int dropFd);

// Checks the --json and --csv files at the absolute `jsonPath` and
// `csvPath` (empty for none), so that a run can't end without its results:
// they are two files, neither in the tree of the working directory, and the
// JSON file can be written.
Failure checkOutputs(const WorkDir& dir, const std::string& jsonPath,
                     const std::string& csvPath);

// Opens the CSV file at `path` for appending, making it if need be; refused
// when it is not a regular file or its columns are not this version's. No
// open blocks: a FIFO is refused.
Failure openCsv(const std::string& path, UniqueFd* fd);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_CHECKS_H_
