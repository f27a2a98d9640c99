#include "test_util.h"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

CapturedStdout::CapturedStdout() {
  file_ = tmpfile();
  saved_ = dup(1);
  dup2(fileno(file_), 1);
}

CapturedStdout::~CapturedStdout() { finish(); }

std::string CapturedStdout::finish() {
  if (file_ == nullptr) return "";
  dup2(saved_, 1);
  close(saved_);
  std::string text;
  rewind(file_);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, file_)) > 0) text.append(buf, n);
  fclose(file_);
  file_ = nullptr;
  return text;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                        "/treeflood-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp(" << pattern << ") failed";
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  nftw(
      path_.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) {
        return remove(p);
      },
      64, FTW_DEPTH | FTW_PHYS);
}

void InTempDir::SetUp() {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  previous_ = cwd;
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
}

void InTempDir::TearDown() { EXPECT_EQ(chdir(previous_.c_str()), 0); }

namespace {

// Reads both pipes to their end without letting either fill up.
void drain(int outFd, int errFd, std::string* out, std::string* err) {
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open = 2;
  char buf[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

ProgramResult runProgram(const std::string& exe,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& env,
                         const std::string& cwd) {
  std::vector<char*> argv{const_cast<char*>(exe.c_str())};
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int outPipe[2], errPipe[2];
  ProgramResult result;
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  drain(outPipe[0], errPipe[0], &result.out, &result.err);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ProgramResult runTreeflood(const std::vector<std::string>& args,
                           const std::string& cwd,
                           std::vector<std::string> env) {
  const char* path = getenv("PATH");
  bool hasPath = false;
  for (const std::string& e : env) hasPath |= e.rfind("PATH=", 0) == 0;
  if (!hasPath && path != nullptr) env.push_back(std::string("PATH=") + path);
  return runProgram(TREEFLOOD_EXE, args, env, cwd);
}

void writeFile(const std::string& path, const std::string& text, int mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  close(fd);
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
