#include "runner/command.h"

#include <thread>

#include "test_util.h"

namespace treeflood {

TEST(RunCommand, ReportsHowTheCommandEnded) {
  const std::string ended =
      "\nCpu usage: user: *:*, system: *:*\n"
      "Max rss: *Bytes, page fault: major: *, minor: *\n\n";
  const std::string ok = "Stat: ls (pid: *) status: ok, returned value: ";
  const std::string stopped = "Stat: ls (pid: *) status: kill by signal, ";
  // Each forked, and started by a launcher; `stop` is set once the command
  // has made "ready".
  const struct {
    const char* script;
    std::string output;
    bool stop = false;
  } cases[] = {
      {"test \"$1\" = -R || exit 9; echo out; echo err >&2", ok + "0" + ended},
      // The caller's standard input, which holds a line, is not the child's.
      {"if read line; then exit 1; fi", ok + "0" + ended},
      {"kill -KILL $$", stopped + "signal: 9" + ended},
      {"#!/nonexistent/interpreter", ok + "3" + ended},
      // Whatever the launcher ignores or blocks, the command does not.
      {"exec awk '/^Sig(Ign|Blk)/ && $2 !~ /^0+$/ {exit 5}' /proc/self/status",
       ok + "0" + ended},
      // Stopped: asked with SIGTERM, then killed when it does not go.
      {"touch ready; exec sleep 60", stopped + "signal: 15" + ended, true},
      {"trap '' TERM; touch ready; exec sleep 60",
       stopped + "signal: 9" + ended, true},
  };
  Launcher launcher = startLauncher();
  ASSERT_GE(launcher.socket, 0);
  TempDir dir;
  const std::string ls = dir.path + "/ls";
  const int dirFd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const char* const args[] = {"ls", "-R", nullptr};
  int input[2], saved = dup(0);
  ASSERT_EQ(pipe(input), 0);
  EXPECT_EQ(write(input[1], "line\n", 5), 5);
  dup2(input[0], 0);
  close(input[0]);
  close(input[1]);
  for (const auto& c : cases) {
    std::ofstream(ls) << (c.script[0] == '#' ? "" : "#!/bin/sh\n") << c.script;
    chmod(ls.c_str(), 0755);
    for (bool launched : {false, true}) {
      std::atomic<bool> stop{false};
      // No thread beside a fork whose exec fails (ThreadSanitizer).
      std::thread stopper;
      if (c.stop) {
        stopper = std::thread([&] {
          for (int i = 0; i < 3000 && faccessat(dirFd, "ready", F_OK, 0); ++i)
            usleep(10000);
          stop = true;
        });
      }
      testing::internal::CaptureStdout();
      EXPECT_TRUE(runCommand("ls", ls.c_str(), args, dirFd,
                             launched ? launcher : Launcher(), &stop)
                      .ran);
      std::string text = testing::internal::GetCapturedStdout();
      if (stopper.joinable()) stopper.join();
      unlinkat(dirFd, "ready", 0);
      EXPECT_MATCH(text, c.output);
    }
  }
  dup2(saved, 0);
  close(saved);
  close(dirFd);
  stopLauncher(&launcher);
}

}  // namespace treeflood
