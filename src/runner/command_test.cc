#include "runner/command.h"

#include "test_util.h"

namespace treeflood {

TEST(RunCommand, ReportsHowTheCommandEnded) {
  const std::string ended =
      "\nCpu usage: user: *:*, system: *:*\n"
      "Max rss: *Bytes, page fault: major: *, minor: *\n\n";
  const std::string ok = "Stat: ls (pid: *) status: ok, returned value: ";
  // Each forked, and started by a launcher.
  const struct {
    const char* script;
    std::string output;
  } cases[] = {
      {"test \"$1\" = -R || exit 9; echo out; echo err >&2", ok + "0" + ended},
      // The caller's standard input, which holds a line, is not the child's.
      {"if read line; then exit 1; fi", ok + "0" + ended},
      {"kill -KILL $$",
       "Stat: ls (pid: *) status: kill by signal, signal: 9" + ended},
      {"#!/nonexistent/interpreter", ok + "3" + ended},
  };
  Launcher launcher = startLauncher();
  ASSERT_GE(launcher.socket, 0);
  TempDir dir;
  const std::string ls = dir.path + "/ls";
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
      testing::internal::CaptureStdout();
      EXPECT_TRUE(runCommand("ls", ls.c_str(), args, AT_FDCWD,
                             launched ? launcher : Launcher())
                      .ran);
      std::string text = testing::internal::GetCapturedStdout();
      EXPECT_MATCH(text, c.output);
    }
  }
  dup2(saved, 0);
  close(saved);
  stopLauncher(&launcher);
}

}  // namespace treeflood
