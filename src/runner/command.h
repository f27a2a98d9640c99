// Runs an external command with its output thrown away, and reports what it
// cost.
#ifndef TREEFLOOD_RUNNER_COMMAND_H_
#define TREEFLOOD_RUNNER_COMMAND_H_

#include <fcntl.h>
#include <stddef.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>

namespace treeflood {

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
  // Whether it ran and exited 0.
  bool succeeded() const { return ran && signal == 0 && exitStatus == 0; }
};

// A process that starts commands for runCommand and waits for them. It is
// forked while the caller is still small, so that a command's peak memory is
// its own: a child begins as a copy of its parent (or, started by
// posix_spawn, in its memory), and the kernel counts those pages in its peak.
struct Launcher {
  int socket = -1;  // -1: commands are forked from the caller
  pid_t pid = -1;
};

// Starts the launcher. Call it before the process grows, starts threads or
// initialises MPI. Returns a launcher whose socket is -1 if it can't start.
Launcher startLauncher();

// Ends the launcher and waits for it.
void stopLauncher(Launcher* launcher);

// Runs the program at `path` (null when it was not found) with the argument
// vector `args`, null-terminated, in a child process working in the directory
// open on `dirFd`, with standard output and standard error on /dev/null,
// standard input closed, every signal at its default and none blocked; the
// child dies with its parent, and is started by `launcher` when it has a
// socket, else forked. When `stop` is set while it runs, it gets SIGTERM,
// then SIGKILL a second later. Prints, under `name`, the child's exit status
// or ending signal, CPU times, peak memory and page faults, or why it could
// not be run, and returns the same.
CommandResult runCommand(const char* name, const char* path,
                         const char* const* args, int dirFd = AT_FDCWD,
                         const Launcher& launcher = Launcher(),
                         const std::atomic<bool>* stop = nullptr);

}  // namespace treeflood

#endif  // TREEFLOOD_RUNNER_COMMAND_H_
