// tools/plot, drawing fixed results of 1 to 20 runs and real ones.
#include "test_util.h"

TEST(Plot, DrawsOneToTwentyRunsWithoutAWordAndTheLegendInside) {
  if (bash("/usr/bin/python3 -c 'import matplotlib, scipy' 2>&1") != "") {
    GTEST_SKIP() << "no matplotlib or scipy: apt-get install "
                    "python3-matplotlib python3-scipy";
  }
  TempDir dir;
  bash("mkdir a b && cp " TREEFLOOD_SOURCE_DIR "/docs/plot-examples/* .",
       dir.path);
  // Two real runs in one CSV file, told apart by their labels.
  for (std::string run : {"a", "b"}) {
    runTreeflood({"-D", "-s", "0", "-f", "300", "-i", "2", "--json",
                  run + "/r.json", "--csv", "r.csv", "--label", run, "-d", run},
                 dir.path);
  }
  // And one side by side, whose JSON and CSV each hold two runs.
  runTreeflood(words("-D -s 0 -f 300 -i 2 --json s.json --csv s.csv -d a "
                     "--against b"),
               dir.path);
  // What the tool says (nothing, or a refusal); it checks its legend itself.
  const struct {
    std::string runs, said;
  } cases[] = {
      {"b.json", "0\nPNG"},
      {"a.json b.json c.json d.json", "0\nPNG"},
      {"twelve.csv", "0\nPNG"},
      {"a.json b.json c.json d.json sixteen.csv", "0\nPNG"},
      {"--every-iteration --label A --label B --label C --label D a/r.json "
       "b/r.json r.csv",
       "0\nPNG"},
      {"a.json b.json c.json d.json sixteen.csv twelve.csv",
       "*\nplot: error: 32 runs: at most 20 fit in one picture\n2\n"},
      {"s.json s.csv", "0\nPNG"},
      {"--label A a.json r.csv s.json s.csv",
       "*\nplot: error: 1 labels for 7 runs\n2\n"},
  };
  for (const auto& c : cases) {
    EXPECT_MATCH(
        bash("rm -f p.png; " TREEFLOOD_SOURCE_DIR "/tools/plot -o p.png " +
                 c.runs + " 2>&1; echo $?; head -c 4 p.png | tail -c 3",
             dir.path),
        c.said)
        << c.runs;
  }
}
