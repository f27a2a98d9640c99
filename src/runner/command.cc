#include "runner/command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "console/clock.h"
#include "console/output.h"
#include "console/texts.h"

namespace treeflood {

namespace {

// Runs in the child of `parent`: never returns. The command starts with
// every signal at its default and none blocked, whatever its parent
// ignores, and dies with its parent.
[[noreturn]] void execChild(const char* path, const char* const* args,
                            int dirFd, pid_t parent) {
  for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have died before the line above.
  if (getppid() != parent) _exit(3);
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

// The longest request the launcher reads: a path and its arguments.
const size_t kRequestSize = 4096;

// How a command started by the launcher ended. The launcher sends one once
// the command has started, with its pid, and one once it has ended.
struct LaunchReply {
  int32_t error = 0;  // fork's errno, when it could not start
  int32_t pid = 0;
  int32_t ended = 0;
  int32_t status = 0;  // as wait4 gives it
  struct rusage usage = {};
};

// Forks the command, and returns its pid once it has reached exec (or
// failed to), so that a signal sent to it from then on meets the command's
// own dispositions; -1 with errno set when it can't fork.
pid_t startChild(const char* path, const char* const* args, int dirFd) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    execChild(path, args, dirFd, parent);
  }
  const int error = errno;
  close(ready[1]);
  // The write end closes on exec, or with the child.
  char byte;
  if (pid > 0) {
    while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
  }
  close(ready[0]);
  errno = error;
  return pid;
}

// How long a command asked to stop has before it is killed.
const uint64_t kStopGraceMs = 1000;

// Waits until `fd` can be read, which it can once the command `pid` has
// ended. When `stop` is set meanwhile, asks the command to end with SIGTERM,
// and ends it with SIGKILL kStopGraceMs later. The stop is looked at every
// second, and at once when a stop signal interrupts the wait.
void waitForEnd(int fd, pid_t pid, const std::atomic<bool>* stop) {
  // A pid of 0 or below would signal a whole group, or every process.
  if (pid <= 0) stop = nullptr;
  uint64_t termNs = 0;  // when SIGTERM was sent
  for (struct pollfd p = {fd, POLLIN, 0};;) {
    if (termNs == 0 && stop != nullptr && stop->load()) {
      kill(pid, SIGTERM);
      termNs = monotonicNs();
    }
    int ms = 1000;
    if (termNs != 0) {
      const uint64_t since = (monotonicNs() - termNs) / 1000000;
      if (since >= kStopGraceMs) kill(pid, SIGKILL);
      ms = since >= kStopGraceMs ? -1 : static_cast<int>(kStopGraceMs - since);
    }
    if (poll(&p, 1, ms) > 0) return;
  }
}

// Waits for `pid`, through interruptions; returns wait4's result.
pid_t waitFor(pid_t pid, int* status, struct rusage* usage) {
  pid_t waited;
  do {
    waited = wait4(pid, status, 0, usage);
  } while (waited < 0 && errno == EINTR);
  return waited;
}

// The launcher's life: for each request on `socket` (the directory as a
// descriptor, then the path and the arguments, each ending in a NUL), forks
// the command and answers how it ended; ends when the socket closes.
[[noreturn]] void serveLaunches(int socket) {
  for (;;) {
    char text[kRequestSize];
    char control[CMSG_SPACE(sizeof(int))];
    struct iovec io = {text, sizeof text - 1};
    struct msghdr message = {};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (n <= 0) _exit(0);
    text[n] = '\0';
    int dirFd = AT_FDCWD;
    const struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header != nullptr && header->cmsg_type == SCM_RIGHTS) {
      memcpy(&dirFd, CMSG_DATA(header), sizeof dirFd);
    }
    std::vector<const char*> args;
    for (const char* p = text; p < text + n; p += strlen(p) + 1) {
      args.push_back(p);
    }
    args.push_back(nullptr);
    LaunchReply reply;
    const pid_t pid = startChild(args[0], args.data() + 1, dirFd);
    reply.error = pid < 0 ? errno : 0;
    reply.pid = pid;
    if (dirFd != AT_FDCWD) close(dirFd);
    if (send(socket, &reply, sizeof reply, MSG_NOSIGNAL) < 0) _exit(0);
    if (pid < 0) continue;
    int status = 0;
    waitFor(pid, &status, &reply.usage);
    reply.ended = 1;
    reply.status = status;
    if (send(socket, &reply, sizeof reply, MSG_NOSIGNAL) < 0) _exit(0);
  }
}

// Receives the launcher's next reply; false with errno set when none came.
bool receiveReply(const Launcher& launcher, LaunchReply* reply) {
  ssize_t n;
  do {
    n = recv(launcher.socket, reply, sizeof *reply, 0);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof *reply)) return true;
  if (n >= 0) errno = EPIPE;
  return false;
}

// Has `launcher` run `path` with `args` in `dirFd`, stopping it as
// waitForEnd does; returns false with errno set when it could not (E2BIG
// for a request longer than it reads).
bool launch(const Launcher& launcher, const char* path, const char* const* args,
            int dirFd, const std::atomic<bool>* stop, LaunchReply* reply) {
  std::string text = std::string(path) + '\0';
  for (const char* const* a = args; *a != nullptr; ++a) {
    text += *a;
    text += '\0';
  }
  // A longer one would reach the launcher cut.
  if (text.size() >= kRequestSize) {
    errno = E2BIG;
    return false;
  }
  struct iovec io = {text.data(), text.size()};
  struct msghdr message = {};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  char control[CMSG_SPACE(sizeof(int))] = {};
  if (dirFd != AT_FDCWD) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof dirFd);
    memcpy(CMSG_DATA(header), &dirFd, sizeof dirFd);
  }
  if (sendmsg(launcher.socket, &message, MSG_NOSIGNAL) < 0) return false;
  if (!receiveReply(launcher, reply)) return false;
  if (reply->error != 0) {
    errno = reply->error;
    return false;
  }
  waitForEnd(launcher.socket, reply->pid, stop);
  return receiveReply(launcher, reply);
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

Launcher startLauncher() {
  Launcher launcher;
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    return launcher;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    // It ends with the socket, or with its parent; a signal meant for the
    // run is the run's to handle.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2}) {
      signal(s, SIG_IGN);
    }
    serveLaunches(ends[1]);
  }
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    return launcher;
  }
  launcher.socket = ends[0];
  launcher.pid = pid;
  return launcher;
}

void stopLauncher(Launcher* launcher) {
  if (launcher->socket < 0) return;
  close(launcher->socket);
  waitFor(launcher->pid, nullptr, nullptr);
  *launcher = Launcher();
}

CommandResult runCommand(const char* name, const char* path,
                         const char* const* args, int dirFd,
                         const Launcher& launcher,
                         const std::atomic<bool>* stop) {
  CommandResult result;
  if (path == nullptr) {
    logMessage("Command not found '%s'\n", name);
    return result;
  }
  int status = 0;
  struct rusage& usage = result.usage;
  pid_t pid;
  if (launcher.socket >= 0) {
    LaunchReply reply;
    if (!launch(launcher, path, args, dirFd, stop, &reply)) {
      logMessage("Failed to start '%s': %s\n", name, strerror(errno));
      return result;
    }
    pid = reply.pid;
    status = reply.status;
    usage = reply.usage;
  } else {
    pid = startChild(path, args, dirFd);
    if (pid < 0) {
      logMessage("Failed to fork\n");
      return result;
    }
    // Readable once the child has ended; without it (before Linux 5.3), the
    // command is waited for unstopped.
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd >= 0) {
      waitForEnd(pidFd, pid, stop);
      close(pidFd);
    }
    if (waitFor(pid, &status, &usage) < 0) {
      logMessage("Failed to wait for '%s' (pid: %d): %s\n", name,
                 static_cast<int>(pid), strerror(errno));
      return result;
    }
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

}  // namespace treeflood
