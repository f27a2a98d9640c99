// Helpers shared by the tests: captured output, scratch directories, and
// bounded runs of programs.
#ifndef TREEFLOOD_TESTS_TEST_UTIL_H_
#define TREEFLOOD_TESTS_TEST_UTIL_H_

#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Whether this binary, and so treeflood, is built with a sanitizer, whose
// runtime adds to the memory of every process, ls's launcher too.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// The words of `text`, split at each space: a command line's arguments.
inline std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

inline std::string readFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Whether `text` matches the shell pattern `pattern` ('*' for any text).
inline bool matches(const std::string& text, const std::string& pattern) {
  return fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

// Whether `text` matches `pattern`, as an assertion that shows both where
// it does not.
inline testing::AssertionResult matchesPattern(const char*, const char*,
                                               const std::string& text,
                                               const std::string& pattern) {
  if (matches(text, pattern)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "the text\n"
                                     << text << "\ndoes not match\n"
                                     << pattern;
}
#define EXPECT_MATCH(text, pattern) \
  EXPECT_PRED_FORMAT2(matchesPattern, text, pattern)

// How many entries `dir` holds; 0 when it can't be read.
inline long entryCount(const std::string& dir) {
  std::error_code error;
  std::filesystem::directory_iterator it(dir, error);
  return std::distance(it, std::filesystem::directory_iterator());
}

// A fresh directory under `base`, or else TMPDIR (or /tmp), removed with all
// below it; links in it are removed, never followed.
struct TempDir {
  explicit TempDir(const char* base = nullptr) {
    if (base == nullptr) base = getenv("TMPDIR");
    path = std::string(base && *base ? base : "/tmp") + "/treeflood-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) ADD_FAILURE() << "mkdtemp " << path;
  }
  ~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }
  std::string path;
};

struct ProgramOptions {
  std::vector<std::string> env;  // the whole environment
  std::string cwd = ".";
  std::string out = "/dev/null", err = "/dev/null";  // files for 1 and 2
  bool closeStdout = false;  // start it with descriptor 1 closed
  int seconds = 60;          // for runProgram: how long before a SIGKILL
};

// Starts `exe` with `args` (argument 0 excluded).
inline pid_t spawn(const std::string& exe, std::vector<std::string> args,
                   ProgramOptions o) {
  args.insert(args.begin(), exe);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  for (std::string& e : o.env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open(o.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(o.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    if (o.closeStdout) close(1);
    if (chdir(o.cwd.c_str()) == 0) execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid`, killing it after `seconds`; returns its exit status, or
// 128 + the signal that ended it.
inline int reap(pid_t pid, int seconds = 60) {
  int status = 0;
  for (int i = 0; waitpid(pid, &status, WNOHANG) == 0; ++i) {
    if (i == seconds * 100) kill(pid, SIGKILL);
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct ProgramResult {
  int status = -1;
  std::string out, err;
};

// Runs `exe` to its end and returns what it wrote.
inline ProgramResult runProgram(const std::string& exe,
                                const std::vector<std::string>& args,
                                ProgramOptions o = {}) {
  TempDir io;
  o.out = io.path + "/out";
  o.err = io.path + "/err";
  return {reap(spawn(exe, args, o), o.seconds), readFile(o.out),
          readFile(o.err)};
}

// The built treeflood in `cwd`, with `env` and then this process's PATH
// (so that a PATH in `env` wins), and no COLUMNS unless `env` sets it.
inline ProgramResult runTreeflood(const std::vector<std::string>& args,
                                  const std::string& cwd,
                                  std::vector<std::string> env = {}) {
  env.push_back(std::string("PATH=") + getenv("PATH"));
  return runProgram(TREEFLOOD_EXE, args, {.env = env, .cwd = cwd});
}

// What `script` prints under bash in `cwd`.
inline std::string bash(const std::string& script,
                        const std::string& cwd = ".") {
  return runProgram("/bin/bash", {"--norc", "-c", script},
                    {.env = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/"
                             "usr/bin:/sbin:/bin"},
                     .cwd = cwd})
      .out;
}

#endif  // TREEFLOOD_TESTS_TEST_UTIL_H_
