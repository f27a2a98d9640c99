// tools/plot, drawing real results.
#include "test_util.h"

TEST(Plot, DrawsTwoRunsIntoAPng) {
  if (bash("/usr/bin/python3 -c 'import matplotlib' 2>&1") != "") {
    GTEST_SKIP() << "no matplotlib: apt-get install python3-matplotlib";
  }
  TempDir dir;
  bash("mkdir a b", dir.path);
  for (std::string run : {"a", "b"}) {
    runTreeflood(
        {"-D", "-f", "300", "-i", "2", "--json", run + ".json", "-d", run},
        dir.path);
  }
  EXPECT_EQ(bash(TREEFLOOD_SOURCE_DIR "/tools/plot -o p.png --label A "
                                      "--label B a.json b.json 2>&1; echo $?; "
                                      "head -c 8 p.png | od -An -tx1",
                 dir.path),
            "0\n 89 50 4e 47 0d 0a 1a 0a\n");
}
