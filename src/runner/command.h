// Runs an external command with its output thrown away, and reports what it
// cost.
#ifndef TREEFLOOD_RUNNER_COMMAND_H_
#define TREEFLOOD_RUNNER_COMMAND_H_

#include <fcntl.h>
#include <stddef.h>
#include <sys/resource.h>

// Returns in `buf` (of `size` bytes) the first "dir/name" along `pathValue`,
// a PATH value (null when unset), that is readable and executable. Empty
// fields are skipped; a relative field is taken from the current directory,
// as a shell would, and the result made absolute so that it stays right
// after a change of directory. A candidate that would not fit in `buf` is
// passed over. Returns false when none passes.
bool findOnPath(const char* pathValue, const char* name, char* buf,
                size_t size);

// How a command ended and what it used.
struct CommandResult {
  bool ran = false;  // found, started and waited for; the rest holds only then
  int exitStatus = 0;  // when it exited
  int signal = 0;      // the signal that ended it, or 0
  struct rusage usage = {};
};

// Runs the program at `path` (null when it was not found) with the argument
// vector `args`, null-terminated, in a child process working in the directory
// open on `dirFd`, with standard output and standard error on /dev/null and
// standard input closed. Prints, under
// `name`, the child's exit status or ending signal, CPU times, peak memory and
// page faults, or why it could not be run, and returns the same.
// With `spawn`, the child is started by posix_spawn rather than fork, for
// processes that must not fork (some MPI transports); its peak memory then
// counts the caller's too, since it starts in the caller's memory. A program
// that posix_spawn can't execute is said so, and not run.
CommandResult runCommand(const char* name, const char* path,
                         const char* const* args, int dirFd = AT_FDCWD,
                         bool spawn = false);

#endif  // TREEFLOOD_RUNNER_COMMAND_H_
