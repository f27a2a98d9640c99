#include "runner/command.h"

#include "test_util.h"

TEST(RunCommand, ReportsHowTheCommandEnded) {
  const std::pair<const char*, const char*> cases[] = {
      {"test \"$1\" = -R || exit 9; echo out; echo err >&2",
       "returned value: 0"},
      {"exit 7", "returned value: 7"},
      // Standard input is closed: a read fails at once rather than waiting.
      {"if read line; then exit 1; fi", "returned value: 0"},
      {"kill -KILL $$", "kill by signal, signal: 9"},
      {"#!/nonexistent/interpreter", "returned value: 3"},
  };
  TempDir dir;
  const std::string ls = dir.path + "/ls";
  const char* const args[] = {"ls", "-R", nullptr};
  for (const auto& c : cases) {
    writeFile(ls, std::string(c.first[0] == '#' ? "" : "#!/bin/sh\n") + c.first,
              0755);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(runCommand("ls", ls.c_str(), args).ran);
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(matches(text, std::string("Stat: ls (pid: *) status: *") +
                                  c.second +
                                  "\nCpu usage: user: *:*, system: *:*\n"
                                  "Max rss: *Bytes, page fault: major: *, "
                                  "minor: *\n\n"))
        << text;
  }
}
