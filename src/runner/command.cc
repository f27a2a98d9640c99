#include "runner/command.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "console/output.h"
#include "console/texts.h"

namespace {

// Runs in the child: never returns.
[[noreturn]] void execChild(const char* path, const char* const* args,
                            int dirFd) {
  if (dirFd != AT_FDCWD && fchdir(dirFd) != 0) _exit(3);
  int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, 1);
  dup2(devNull, 2);
  close(0);
  if (devNull > 2) close(devNull);
  // execv's prototype predates const; it does not change the arguments.
  execv(path, const_cast<char* const*>(args));
  // _exit, not exit: the parent's atexit handlers and buffers are not the
  // child's to run or flush.
  _exit(3);
}

// Starts the child as execChild does, with posix_spawn, which some MPI
// transports need in place of fork; returns its pid, or -1 after saying why
// it could not start.
pid_t spawnChild(const char* name, const char* path, const char* const* args,
                 int dirFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (dirFd != AT_FDCWD) posix_spawn_file_actions_addfchdir_np(&actions, dirFd);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addclose(&actions, 0);
  pid_t pid;
  // The argument vector's prototype predates const; it is not changed.
  int error = posix_spawn(&pid, path, &actions, nullptr,
                          const_cast<char* const*>(args), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error == 0) return pid;
  logMessage("Failed to start '%s': %s\n", name, strerror(error));
  return -1;
}

}  // namespace

bool findOnPath(const char* pathValue, const char* name, char* buf,
                size_t size) {
  if (pathValue == nullptr) return false;
  char cwd[4096];
  const char* here = getcwd(cwd, sizeof cwd);
  std::string dirs(pathValue);
  char* save = nullptr;
  for (char* dir = strtok_r(dirs.data(), ":", &save); dir != nullptr;
       dir = strtok_r(nullptr, ":", &save)) {
    if (dir[0] != '/' && here == nullptr) continue;
    // A cut path could name another program, so a long one is skipped.
    int length = dir[0] == '/'
                     ? snprintf(buf, size, "%s/%s", dir, name)
                     : snprintf(buf, size, "%s/%s/%s", here, dir, name);
    if (length < 0 || static_cast<size_t>(length) >= size) continue;
    if (access(buf, R_OK | X_OK) == 0) return true;
  }
  return false;
}

CommandResult runCommand(const char* name, const char* path,
                         const char* const* args, int dirFd, bool spawn) {
  CommandResult result;
  if (path == nullptr) {
    logMessage("Command not found '%s'\n", name);
    return result;
  }
  pid_t pid = spawn ? spawnChild(name, path, args, dirFd) : fork();
  if (pid < 0) {
    if (!spawn) logMessage("Failed to fork\n");
    return result;
  }
  if (pid == 0) execChild(path, args, dirFd);

  int status = 0;
  struct rusage& usage = result.usage;
  pid_t waited;
  do {
    waited = wait4(pid, &status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    logMessage("Failed to wait for '%s' (pid: %d): %s\n", name,
               static_cast<int>(pid), strerror(errno));
    return result;
  }
  result.ran = true;

  char statusText[32];
  if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
    snprintf(statusText, sizeof statusText, "kill by signal, signal: %d",
             result.signal);
  } else {
    result.exitStatus = WEXITSTATUS(status);
    snprintf(statusText, sizeof statusText, "ok, returned value: %d",
             result.exitStatus);
  }
  char user[24], system[24], memory[24];
  cpuTimeText(user, sizeof user, &usage.ru_utime);
  cpuTimeText(system, sizeof system, &usage.ru_stime);
  sizeText(memory, sizeof memory, int64_t{usage.ru_maxrss} * 1024);
  logMessage("Stat: %s (pid: %d) status: %s\n", name, static_cast<int>(pid),
             statusText);
  logMessage("Cpu usage: user: %s, system: %s\n", user, system);
  logMessage("Max rss: %s, page fault: major: %ld, minor: %ld\n\n", memory,
             usage.ru_majflt, usage.ru_minflt);
  return result;
}
