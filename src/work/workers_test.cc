#include "work/workers.h"

#include <fcntl.h>

#include "test_util.h"
#include "work/directories.h"
#include "work/phase.h"

namespace treeflood {

TEST(ReadWorker, ReportsTheFirstByteThatDiffersOrTheEnd) {
  const uint64_t kBig = 3 << 20;  // three buffers' worth
  const struct {
    uint64_t size;
    const char* change;  // to d_000/f_1 of four files
    int64_t differsAt;   // -1: none; -2: fails otherwise
  } cases[] = {
      {10240, "printf x | dd of=d_000/f_1 bs=1 seek=4096 conv=notrunc", 4096},
      {10240, "truncate -s 100 d_000/f_1", 100},
      {10240, "truncate -s 10241 d_000/f_1", 10240},
      {kBig, "true", -1},
      {kBig, "printf x | dd of=d_000/f_1 bs=1 seek=2097157 conv=notrunc",
       2097157},
      {kBig, "truncate -s 3145727 d_000/f_1", 3145727},
      {kBig, "truncate -s 3145729 d_000/f_1", 3145728},
      {0, "printf x > d_000/f_1", 0},
      {10240, "rm d_000/f_1 && ln -s f_0 d_000/f_1", -2},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(initWork(c.size));
    const int workFd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    int dirFd = -1;
    PhasePlan plan = {.nbFiles = 4,
                      .layout = computeLayout(4, Spread::Blocks, 1),
                      .directIo = true,
                      .fileSize = c.size,
                      .dirFds = &dirFd,
                      .progress = false};
    PhaseStats made, read;
    openDirectories(workFd, plan.layout, DirectoryMode::MakeMissing, &dirFd,
                    &made.failures);
    LocalRunner runner(2);
    runner.run(Phase::Create, plan, monotonicNs(), &made);
    bash(c.change, dir.path);
    runner.run(Phase::Read, plan, monotonicNs(), &read);
    EXPECT_EQ(made.failures.count, 0u);
    EXPECT_EQ(read.failures.count, c.differsAt == -1 ? 0u : 1u) << c.change;
    EXPECT_EQ(read.differs.count, c.differsAt >= 0 ? 1u : 0u) << c.change;
    if (c.differsAt >= 0) {
      EXPECT_EQ(read.differs.firstIndex, 1u);
      EXPECT_EQ(read.differs.firstOffset, static_cast<uint64_t>(c.differsAt));
    }
    closeDirectories(plan.layout, &dirFd);
    close(workFd);
  }
}

TEST(CreateWorker, KeepsWhatItRefusesAndStopsAtItsCap) {
  const struct {
    uint64_t cap;
    std::vector<uint64_t> refused;
    const char* names;  // in d_000 once the phase is over
  } cases[] = {
      {kMaxRefused, {1, 3, 5, 7}, "f_0 f_1 f_2 f_3 f_4 f_5 f_6 f_7 f_8 f_9 "},
      {2, {1, 3}, "f_0 f_1 f_2 f_3 f_5 f_7 "},
  };
  for (const auto& c : cases) {
    TempDir dir;
    bash("mkdir d_000 && mkfifo d_000/f_1 d_000/f_3 d_000/f_5 d_000/f_7",
         dir.path);
    ASSERT_TRUE(initWork(0));
    const int workFd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    int dirFd = -1;
    PhasePlan plan = {.nbFiles = 10,
                      .layout = computeLayout(10, Spread::Blocks, 1),
                      .directIo = false,
                      .fileSize = 0,
                      .maxRefused = c.cap,
                      .dirFds = &dirFd,
                      .progress = false};
    PhaseStats made;
    openDirectories(workFd, plan.layout, DirectoryMode::OpenOnly, &dirFd,
                    &made.failures);
    LocalRunner(1).run(Phase::Create, plan, monotonicNs(), &made);
    EXPECT_EQ(made.refused, c.refused);
    EXPECT_EQ(made.tooManyRefused, c.cap == 2);
    EXPECT_EQ(bash("ls d_000 | tr '\\n' ' '", dir.path), c.names);
    closeDirectories(plan.layout, &dirFd);
    close(workFd);
  }
}

}  // namespace treeflood
