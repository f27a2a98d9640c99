#include "work/workers.h"

#include <fcntl.h>

#include "test_util.h"
#include "work/directories.h"
#include "work/phase.h"

namespace treeflood {

TEST(ReadWorker, NamesHowAFileDiffersFromWhatWasWritten) {
  const uint64_t kBig = 3 << 20;     // three buffers' worth
  const uint64_t kEnd = UINT64_MAX;  // the hole runs to the file's end
  const struct {
    uint64_t size;
    bool random;
    const char* change;  // to d_000/f_1 of four files
    int kind;            // 0: read back as written
    uint64_t at, last;
  } cases[] = {
      {10240, false, "printf x | dd of=d_000/f_1 bs=1 seek=4096 conv=notrunc",
       kContentDiffers, 4096, 4096},
      {10240, false, "truncate -s 100 d_000/f_1", kShortFile, 100, 10240},
      {10240, false, "truncate -s 10241 d_000/f_1", kLongFile, 10240, 10240},
      {kBig, false, "printf x | dd of=d_000/f_1 bs=1 seek=2097157 conv=notrunc",
       kContentDiffers, 2097157, 2097157},
      {kBig, false, "truncate -s 3145727 d_000/f_1", kShortFile, 3145727, kBig},
      {kBig, false, "truncate -s 3145729 d_000/f_1", kLongFile, kBig, kBig},
      {0, false, "printf x > d_000/f_1", kLongFile, 0, 0},
      {10240, false, "rm d_000/f_1 && ln -s f_0 d_000/f_1", ELOOP, 0, 0},
      {0, false, "rm d_000/f_1 && mkfifo d_000/f_1", kNotRegular, 0, 0},
      {0, false, "rm d_000/f_1 && mknod d_000/f_1 c 1 3", kNotRegular, 0, 0},
      // What random data shows and zeros can't: holes, blocks out of place.
      {10240, true, "fallocate -p -o 4096 -l 4096 d_000/f_1", kReadAsZeros,
       4096, 8191},
      {10240, true, "rm d_000/f_1 && truncate -s 10240 d_000/f_1", kReadAsZeros,
       0, 10239},
      {kBig, true, "truncate -s 2M d_000/f_1 && truncate -s 3M d_000/f_1",
       kReadAsZeros, 2097152, kEnd},
      {kBig, true, "fallocate -p -o 1048576 -l 1052672 d_000/f_1", kReadAsZeros,
       1048576, 2101247},
      {10240, true,
       "dd if=d_000/f_2 of=d_000/f_1 bs=512 skip=1 seek=3 count=2 "
       "conv=notrunc",
       kMisplaced, 1536, 2559},
      {10240, true, "printf x | dd of=d_000/f_1 bs=1 seek=700 conv=notrunc",
       kContentDiffers, 700, 700},
  };
  RandomData data;
  ASSERT_TRUE(makeRandomData(7, &data));
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(initWork(c.size));
    const int workFd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    int dirFd = -1;
    PhasePlan plan = {.nbFiles = 4,
                      .layout = computeLayout(4, Spread::Blocks, 1),
                      .directIo = c.size != 0,
                      .fileSize = c.size,
                      .data = c.random ? &data : nullptr,
                      .dirFds = &dirFd,
                      .progress = false};
    PhaseStats made, read;
    openDirectories(workFd, plan.layout, DirectoryMode::MakeMissing, &dirFd,
                    &made.failures);
    LocalRunner runner(2);
    runner.run(Phase::Create, plan, monotonicNs(), &made);
    bash(c.change, dir.path);
    runner.run(Phase::Read, plan, monotonicNs(), &read);
    EXPECT_EQ(read.failures.count, c.kind == 0 ? 0u : 1u) << c.change;
    EXPECT_EQ(read.failures.firstError, c.kind) << c.change;
    EXPECT_EQ(read.differs.count, c.kind <= kContentDiffers ? 1u : 0u);
    if (c.kind <= kContentDiffers) {
      const Difference& d = read.differs.firstDifference;
      EXPECT_EQ(read.differs.firstIndex, 1u);
      EXPECT_EQ(d.at, c.at) << c.change;
      EXPECT_EQ(d.last, c.last == kEnd ? c.size - 1 : c.last) << c.change;
      if (c.kind == kMisplaced) {
        EXPECT_EQ(d.source, 2u);
        EXPECT_EQ(d.sourceAt, 512u);
      }
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
