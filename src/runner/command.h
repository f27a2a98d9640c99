// Runs an external command with its output thrown away, and reports what it
// cost.
#ifndef TREEFLOOD_RUNNER_COMMAND_H_
#define TREEFLOOD_RUNNER_COMMAND_H_

#include <stddef.h>
#include <sys/resource.h>

// Returns in `buf` (of `size` bytes) the first "dir/name" along PATH that is
// readable and executable; empty fields of PATH are skipped, and a candidate
// that would not fit in `buf` is passed over. Returns false when PATH is
// unset or no candidate passes.
bool findOnPath(const char* name, char* buf, size_t size);

// How a command ended and what it used.
struct CommandResult {
  bool ran = false;  // found, started and waited for; the rest holds only then
  int exitStatus = 0;  // when it exited
  int signal = 0;      // the signal that ended it, or 0
  struct rusage usage = {};
};

// Finds `name` on PATH and runs it in a child process with standard output
// and standard error on /dev/null and standard input closed; `args` is its
// argument vector, whose first slot the child fills with `name`. Prints the
// child's exit status or ending signal, CPU times, peak memory and page
// faults, or why it could not be run, and returns the same.
CommandResult runCommand(const char* name, char** args);

#endif  // TREEFLOOD_RUNNER_COMMAND_H_
