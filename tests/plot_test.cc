// tools/plot, drawing real results.
#include "test_util.h"

TEST(Plot, DrawsJsonAndCsvRunsIntoAPng) {
  if (bash("/usr/bin/python3 -c 'import matplotlib, scipy' 2>&1") != "") {
    GTEST_SKIP() << "no matplotlib or scipy: apt-get install "
                    "python3-matplotlib python3-scipy";
  }
  TempDir dir;
  bash("mkdir a b", dir.path);
  // Two runs in one CSV file, told apart by their labels.
  for (std::string run : {"a", "b"}) {
    runTreeflood({"-D", "-s", "0", "-f", "300", "-i", "2", "--json",
                  run + ".json", "--csv", "r.csv", "--label", run, "-d", run},
                 dir.path);
  }
  EXPECT_EQ(bash(TREEFLOOD_SOURCE_DIR "/tools/plot -o p.png --label A "
                                      "--label B --label C --label D a.json "
                                      "b.json r.csv 2>&1; echo $?; "
                                      "head -c 8 p.png | od -An -tx1",
                 dir.path),
            "0\n 89 50 4e 47 0d 0a 1a 0a\n");
  EXPECT_EQ(bash(TREEFLOOD_SOURCE_DIR "/tools/plot -o p.png --label A a.json "
                                      "r.csv > e 2>&1; echo $?; tail -1 e",
                 dir.path),
            "2\nplot: error: 1 labels for 3 runs\n");
}
