#include "driver/run.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <thread>

#include "test_util.h"

namespace treeflood {

TEST(WorstStatus, InterruptThenFailureThenRegression) {
  // Worst first; every pair, both ways.
  const int order[] = {143, 1, 2, 0};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = 0; j < 4; ++j)
      EXPECT_EQ(worstStatus(order[i], order[j]), order[std::min(i, j)]);
  }
}

namespace {

// Two processes on hosts "a" and "b" of two threads each: runs the phase
// here, and gives rank 0 two thirds of its files and rank 1 the rest. Once
// the size phase's files are done, it fills standard output, a pipe, and has
// `reader` empty it 2 s later, keeping what was written in `out`: the
// phase's next line waits that long.
struct TwoRanks final : PhaseRunner {
  Topology topology() const override {
    Topology t;
    t.threads = 4;
    t.hosts = {"a", "b"};
    return t;
  }
  void run(Phase kind, const PhasePlan& plan, uint64_t startNs,
           PhaseStats* stats) override {
    local.run(kind, plan, startNs, stats);
    stats->threadsRun *= 2;
    const uint64_t files = std::min(stats->handedOut, plan.nbFiles);
    stats->ranks = {{files - files / 3, 0, 0.5}, {files / 3, 0, 0.25}};
    if (kind != Phase::Size) return;
    const std::string filler(4096, '\0');
    while (write(fill, filler.data(), filler.size()) > 0) {
    }
    reader = std::thread([this] {
      usleep(2000000);
      char buf[65536];
      for (ssize_t n; (n = read(drain, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    });
  }
  LocalRunner local{2};
  int fill = -1, drain = -1;  // the pipe's ends, the first not blocking
  std::thread reader;
  std::string out;
};

}  // namespace

TEST(RunBenchmark, RankSharesAndNoOutputTimeInPhases) {
  TempDir dir;
  const RunSettings s = {.nbFiles = 300,
                         .fileSize = 0,
                         .threads = 2,
                         .workDir = dir.path,
                         .directIo = false,
                         .summary = true,
                         .jsonPath = dir.path + "/r.json",
                         .csvPath = dir.path + "/r.csv"};
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  // Room for every line before the size phase.
  fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
  TwoRanks runner;
  runner.drain = ends[0];
  runner.fill = open(("/proc/self/fd/" + std::to_string(ends[1])).c_str(),
                     O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  struct rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  const int saved = dup(1);
  dup2(ends[1], 1);
  const int status = runBenchmark(s, &runner);
  // What the run changed for the process.
  dup2(saved, 1);
  for (int fd : {saved, ends[1], runner.fill}) close(fd);
  setrlimit(RLIMIT_NOFILE, &files);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ})
    signal(sig, SIG_DFL);
  runner.reader.join();
  close(ends[0]);
  std::string out = runner.out;
  out.erase(std::remove(out.begin(), out.end(), '\0'), out.end());
  EXPECT_EQ(status, 0) << out;
  EXPECT_MATCH(out,
               "treeflood will create and delete 300 files with 4 "
               "threads\non 2 ranks: a (1), b (1)\nVersion: *"
               "rank  host  phase   files  failed  seconds  files/s\n"
               "0     a     create    200       0    0.500      400\n*"
               "1     b     delete    100       0    0.250      400\n*");
  auto doc = nlohmann::json::parse(readFile(*s.jsonPath));
  EXPECT_EQ(doc["ranks"], nlohmann::json({"a", "b"}));
  const auto& size = doc["iterations"][0]["phases"]["size"];
  EXPECT_EQ(size["ranks"][1]["files_done"], 100);
  EXPECT_EQ(size["ranks"][1]["files_per_second"], 400);
  EXPECT_EQ(doc["valid"], true);
  // Its 300 files and 1025 directories take milliseconds, not the 2 s its
  // lines waited.
  EXPECT_LT(size["wall_seconds"], 1.0) << size;
  // Each phase's row, then a row for each rank; the listing's after the
  // create phase's. Every row ends with the ranks and all their threads.
  EXPECT_EQ(bash("cut -d, -f11,12,19,27,28 r.csv | tr '\\n' ' '", dir.path),
            "phase,files_done,rank,ranks,threads_total create,300,,2,4 "
            "create,200,0,2,4 create,100,1,2,4 list,300,,2,4 size,300,,2,4 "
            "size,200,0,2,4 size,100,1,2,4 delete,300,,2,4 delete,200,0,2,4 "
            "delete,100,1,2,4 ");
  EXPECT_EQ(entryCount(dir.path), 2);
}

}  // namespace treeflood
