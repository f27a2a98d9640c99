// treeflood-mpi under mpirun, with several ranks on this machine.
#include <nlohmann/json.hpp>

#include "test_util.h"

namespace {

// mpirun's arguments for `ranks` ranks of treeflood-mpi with `args`. mpirun
// ends the job by itself after 50 s, so that no rank outlives a test.
std::vector<std::string> mpirun(int ranks, std::vector<std::string> args) {
  args.insert(args.begin(),
              {"-np", std::to_string(ranks), "--oversubscribe", "--bind-to",
               "none", "--timeout", "50", TREEFLOOD_MPI_EXE});
  return args;
}

// mpirun's environment, as root too, with the sanitizers' settings of the
// test's own; and its directory.
ProgramOptions inDir(const std::string& cwd) {
  ProgramOptions o = {
      .env = {std::string("PATH=") + getenv("PATH"), "HOME=" + cwd,
              "OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1"},
      .cwd = cwd};
  for (const char* name :
       {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (getenv(name)) o.env.push_back(std::string(name) + "=" + getenv(name));
  }
  return o;
}

}  // namespace

TEST(Cluster, EveryFileOnceOverAllRanks) {
  for (auto [ranks, batch] : {std::pair{3, "1"}, {2, "16"}}) {
    TempDir dir;
    bash("mkdir w", dir.path);
    ProgramResult r = runProgram(
        MPIEXEC,
        mpirun(ranks, {"-D", "-f", "3000", "-t", "2", "--batch", batch,
                       "--dontDeleteFiles", "--json", "r", "-d", "w"}),
        inDir(dir.path));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string n = std::to_string(ranks);
    EXPECT_TRUE(matches(r.out, "treeflood will create 3000 files with " +
                                   std::to_string(2 * ranks) + " threads\non " +
                                   n + " ranks: * (" + n + ")\nVersion: *"))
        << r.out;
    // A number drawn twice fails its second O_EXCL open; one never drawn
    // leaves a file missing.
    EXPECT_EQ(bash("find w -type f -size 10240c | wc -l", dir.path), "3000\n");
    auto iteration =
        nlohmann::json::parse(readFile(dir.path + "/r"))["iterations"][0];
    const auto& create = iteration["phases"]["create"];
    const auto& listing = iteration["listing"];
    uint64_t shares = 0;
    for (const auto& rank : create["ranks"])
      shares += rank["files_done"].get<uint64_t>();
    EXPECT_EQ(shares, 3000u);
    // ls's peak memory is its own, not rank 0's, within 1.5 times what it
    // takes alone (a sanitizer adds to the launcher's).
    EXPECT_LT(kSanitized ? 0 : listing["max_rss_bytes"].get<double>(),
              1.5 * 1024 *
                  std::stod(bash("/usr/bin/time -f %M ls -R w 2>&1 >/dev/null",
                                 dir.path)));
    // All ranks delete the tree that was kept, and only the tree.
    EXPECT_EQ(
        runProgram(MPIEXEC, mpirun(ranks, {"-D", "-f", "3000", "-d", "w"}),
                   inDir(dir.path))
            .status,
        0);
    EXPECT_EQ(entryCount(dir.path + "/w"), 0);
  }
}

TEST(Cluster, AStopOnAnyRankStopsAllAndCleansUpOnce) {
  TempDir dir;
  const std::string work = dir.path + "/w";
  bash("mkdir w", dir.path);
  ProgramOptions o = inDir(dir.path);
  o.out = dir.path + "/out";
  o.err = dir.path + "/err";
  // SIGINT to the last rank alone; SIGTERM to every rank, 5 ms apart and
  // rank 0 last, as a batch system's cancel may send it. mpirun's newest
  // child is the last rank (each rank's own child, the launcher of its ls,
  // ignores the signals).
  const struct {
    const char* kill;
    int status;
    const char* line;
  } cases[] = {
      {"kill -INT $(pgrep -n -P $0)", 130,
       "SIGINT in the create phase after * of 5000000 files on rank 2 (*)"},
      {"for p in $(pgrep -P $0 | sort -rn); do kill -TERM $p; sleep 0.005; "
       "done",
       143, "SIGTERM in the create phase after * of 5000000 files on rank *"},
  };
  for (const auto& c : cases) {
    pid_t pid = spawn(
        MPIEXEC, mpirun(3, {"-D", "-f", "5000000", "-t", "2", "-d", work}), o);
    for (int i = 0; i < 3000 && entryCount(work + "/d_000") < 5000; ++i) {
      usleep(10000);
    }
    bash(std::string("sh -c '") + c.kill + "' " + std::to_string(pid));
    EXPECT_EQ(reap(pid), c.status) << c.kill << readFile(o.err);
    EXPECT_TRUE(matches(readFile(dir.path + "/out"),
                        std::string("*Interrupted by ") + c.line + "\n*"))
        << readFile(dir.path + "/out");
    EXPECT_EQ(entryCount(work), 0);
  }
  // A directory that a rank can't enter is refused before anything is made.
  ProgramResult r =
      runProgram(MPIEXEC, mpirun(2, {"-d", "missing"}), inDir(dir.path));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(matches(r.out + r.err, "*(missing)*No such file or directory*"));
}

TEST(Cluster, EveryRankRunsWithRankZerosSettings) {
  // Rank 0's arguments and rank 1's, after the same ones.
  const struct {
    std::vector<std::string> first, second;
    int status;
    std::string out;  // rank 0's
  } cases[] = {
      {{"-s", "0"},
       {"-s", "64K"},
       1,
       "Rank 1 was given another -s than rank 0: every rank needs the same "
       "settings, -t apart\n"},
      {{"-d", "w"},
       {"-d", "v"},
       1,
       "*Rank 1 does not see rank 0's working directory: every rank must work "
       "in the same one\n"},
      {{"-t", "2"},
       {"-t", "1"},
       0,
       "treeflood will create and delete 300 files with 3 threads\n*"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    bash("mkdir w v", dir.path);
    const std::vector<std::string> base = {"-D",  "-s", "0", "-f",
                                           "300", "-d", "w"};
    std::vector<std::string> args = mpirun(1, base);
    for (const auto& more :
         {c.first, {":", "-np", "1", TREEFLOOD_MPI_EXE}, base, c.second}) {
      args.insert(args.end(), more.begin(), more.end());
    }
    ProgramResult r = runProgram(MPIEXEC, args, inDir(dir.path));
    EXPECT_EQ(r.status, c.status) << c.second[0] << r.out << r.err;
    EXPECT_TRUE(matches(r.out, c.out)) << r.out;
    EXPECT_EQ(entryCount(dir.path + "/w") + entryCount(dir.path + "/v"), 0);
  }
}
