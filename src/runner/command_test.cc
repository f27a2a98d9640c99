#include "runner/command.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <optional>
#include <regex>
#include <vector>

#include "test_util.h"

namespace {

// Sets PATH for the life of the object; null unsets it.
class ScopedPath {
 public:
  explicit ScopedPath(const char* value) {
    const char* old = getenv("PATH");
    if (old != nullptr) saved_ = old;
    if (value != nullptr) {
      setenv("PATH", value, 1);
    } else {
      unsetenv("PATH");
    }
  }
  ~ScopedPath() {
    if (saved_) {
      setenv("PATH", saved_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }

 private:
  std::optional<std::string> saved_;
};

class CommandTest : public InTempDir {
 protected:
  // Makes an executable script `dir`/`name`.
  void script(const std::string& dir, const std::string& name,
              const std::string& body) {
    mkdir(dir.c_str(), 0755);
    writeFile(dir + "/" + name, "#!/bin/sh\n" + body + "\n", 0755);
  }

  std::string run(const char* path) {
    ScopedPath scoped(path);
    char* args[] = {nullptr, const_cast<char*>("-R"), nullptr};
    CapturedStdout out;
    runCommand("ls", args);
    return out.finish();
  }

  std::string abs(const std::string& dir) { return dir_.path() + "/" + dir; }
};

const char kReport[] =
    R"(Stat: ls \(pid: \d+\) status: %s\n)"
    R"(Cpu usage: user: \d+:\d\d:\d\d\.\d{3}, system: \d+:\d\d:\d\d\.\d{3}\n)"
    R"(Max rss: \d+(\.\d+ [KMGT])? ?Bytes, page fault: major: \d+, minor: \d+\n\n)";

std::regex report(const std::string& status) {
  char pattern[512];
  snprintf(pattern, sizeof pattern, kReport, status.c_str());
  return std::regex(pattern);
}

}  // namespace

TEST_F(CommandTest, FindsFirstUsableCandidate) {
  script("a", "other", "exit 0");
  script("b", "ls", "exit 0");
  mkdir("c", 0755);
  writeFile("c/ls", "not executable", 0644);
  char buf[256];
  {
    ScopedPath p((abs("a") + ":" + abs("c") + "::" + abs("b")).c_str());
    ASSERT_TRUE(findOnPath("ls", buf, sizeof buf));
    EXPECT_EQ(std::string(buf), abs("b") + "/ls");
  }
  {
    // Empty fields are skipped, not read as the current directory.
    ScopedPath p((":" + abs("a") + ":").c_str());
    ASSERT_EQ(chdir("b"), 0);
    EXPECT_FALSE(findOnPath("ls", buf, sizeof buf));
    ASSERT_EQ(chdir(".."), 0);
  }
  {
    ScopedPath p(nullptr);
    EXPECT_FALSE(findOnPath("ls", buf, sizeof buf));
  }
}

TEST_F(CommandTest, LongCandidateIsPassedOverNotCut) {
  // Cut to fit the buffer, "<dir>/ls" would read "<dir>/l", another program.
  script("cut", "l", "exit 0");
  std::string dir = abs("cut");
  std::vector<char> buf(dir.size() + 3);
  ScopedPath p(dir.c_str());
  EXPECT_FALSE(findOnPath("ls", buf.data(), buf.size()));
  script("cut", "ls", "exit 0");
  std::vector<char> roomy(dir.size() + 4);
  EXPECT_TRUE(findOnPath("ls", roomy.data(), roomy.size()));
  EXPECT_EQ(std::string(roomy.data()), dir + "/ls");
}

TEST_F(CommandTest, ReportsExitStatusAndUsage) {
  script("ok", "ls",
         "test \"$1\" = -R && test \"$0\" != \"\" || exit 9\n"
         "echo noise; echo more noise >&2; exit 0");
  EXPECT_TRUE(std::regex_match(run(abs("ok").c_str()),
                               report("ok, returned value: 0")));
  script("seven", "ls", "exit 7");
  EXPECT_TRUE(std::regex_match(run(abs("seven").c_str()),
                               report("ok, returned value: 7")));
}

TEST_F(CommandTest, StandardInputIsClosed) {
  script("stdin", "ls", "if read line; then exit 1; fi; exit 0");
  EXPECT_TRUE(std::regex_match(run(abs("stdin").c_str()),
                               report("ok, returned value: 0")));
}

TEST_F(CommandTest, ExecFailureEndsWithThree) {
  // Passes the access test but can't be executed: its interpreter is missing.
  script("bad", "ls", "");
  writeFile("bad/ls", "#!/nonexistent/interpreter\n", 0755);
  EXPECT_TRUE(std::regex_match(run(abs("bad").c_str()),
                               report("ok, returned value: 3")));
}

TEST_F(CommandTest, FailedWaitIsReportedAsSuch) {
  script("ok", "ls", "exit 0");
  // With SIGCHLD ignored the child is reaped by the system, and wait4 fails.
  struct sigaction ignore = {}, saved;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved);
  std::string out = run(abs("ok").c_str());
  sigaction(SIGCHLD, &saved, nullptr);
  EXPECT_TRUE(std::regex_match(
      out, std::regex(R"(Failed to wait for 'ls' \(pid: \d+\): No child )"
                      R"(processes\n)")))
      << out;
}
