#include "work/workers.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/layout.h"
#include "driver/settings.h"
#include "test_util.h"
#include "work/phase.h"

namespace {

// Sets the run to `nbFiles` files without direct I/O, which some temporary
// file systems refuse.
void setRun(uint64_t nbFiles) {
  runSettings = RunSettings{};
  runSettings.nbFiles = nbFiles;
  runSettings.openFlags &= ~O_DIRECT;
  treeLayout = computeLayout(nbFiles);
}

void makeDirectories() {
  char name[6];
  for (unsigned d = 0; d < kNbDirs; ++d) {
    dirName(d, name);
    ASSERT_EQ(mkdir(name, 0755), 0) << name;
  }
}

std::string pathOf(uint64_t index) {
  char buf[32];
  filePath(treeLayout, index, buf);
  return buf;
}

struct Phase {
  PhaseStats stats;
  std::string out;
};

Phase run(WorkerRoutine worker, unsigned threads, bool timed = true) {
  CapturedStdout out;
  Phase phase;
  runPhase(worker, threads, timed, &phase.stats);
  phase.out = out.finish();
  return phase;
}

using WorkersTest = InTempDir;

}  // namespace

TEST(Failures, MergeKeepsLowestNumber) {
  PhaseFailures all;
  mergeFailures(&all, PhaseFailures{});
  EXPECT_EQ(all.count, 0u);
  mergeFailures(&all, {3, 40, "stat", ENOENT});
  mergeFailures(&all, {2, 12, "unlink", EACCES});
  mergeFailures(&all, {5, 90, "open", EINVAL});
  EXPECT_EQ(all.count, 10u);
  EXPECT_EQ(all.firstIndex, 12u);
  EXPECT_STREQ(all.firstCall, "unlink");
  EXPECT_EQ(all.firstError, EACCES);
}

TEST(DataBlock, ZeroedAndAlignedForDirectIo) {
  ASSERT_TRUE(initWork());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(dataBlock) % 4096, 0u);
  for (size_t i = 0; i < kDataBlockSize; ++i) ASSERT_EQ(dataBlock[i], 0) << i;
}

TEST_F(WorkersTest, CreateSizeDeleteRoundTrip) {
  ASSERT_TRUE(initWork());
  // Times the files as the program does, with the time-stamp counter where
  // the machine keeps time with it.
  initLatencyClock();
  const uint64_t nbFiles = 3000;
  setRun(nbFiles);
  makeDirectories();

  Phase create = run(createWorker, 4);
  EXPECT_EQ(create.stats.failures.count, 0u);
  int64_t blocks = 0;
  const std::string zeros(kDataBlockSize, '\0');
  for (uint64_t i = 0; i < nbFiles; ++i) {
    std::string path = pathOf(i);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    ASSERT_EQ(readFile(path), zeros) << path;
    EXPECT_EQ(st.st_mode & 07777, 0644u & ~umask(022)) << path;
    blocks += st.st_blocks;
  }
  // Nothing beyond the last number was made.
  EXPECT_NE(access(pathOf(nbFiles).c_str(), F_OK), 0);

  fileBlocks = 0;
  Phase size = run(sizeWorker, 3);
  EXPECT_EQ(size.stats.failures.count, 0u);
  EXPECT_EQ(fileBlocks, blocks);
  EXPECT_GT(blocks, 0);

  Phase del = run(deleteWorker, 5);
  EXPECT_EQ(del.stats.failures.count, 0u);
  // Every file was timed, once, in each phase, and no file took longer than
  // its phase.
  for (const Phase* phase : {&create, &size, &del}) {
    const PhaseStats& stats = phase->stats;
    EXPECT_EQ(stats.latency.total, nbFiles);
    EXPECT_GT(stats.latency.min, 0u);
    EXPECT_GT(stats.nsPerTick, 0.01);
    EXPECT_LT(stats.nsPerTick, 100);
    EXPECT_GE(stats.fileSeconds * 1e9,
              static_cast<double>(stats.latency.max) * stats.nsPerTick);
  }
  char name[6];
  for (unsigned d = 0; d < kNbDirs; ++d) {
    dirName(d, name);
    ASSERT_EQ(rmdir(name), 0) << name << " is not empty";
  }
  tscClock = false;
}

TEST_F(WorkersTest, CreateTruncatesExistingFiles) {
  ASSERT_TRUE(initWork());
  setRun(2);
  makeDirectories();
  writeFile(pathOf(1), std::string(50000, 'x'));
  Phase untimed = run(createWorker, 1, false);
  EXPECT_EQ(untimed.stats.failures.count, 0u);
  EXPECT_EQ(untimed.stats.latency.total, 0u);
  EXPECT_EQ(readFile(pathOf(1)), std::string(kDataBlockSize, '\0'));
}

TEST_F(WorkersTest, FailuresAreCountedAndTheFirstKept) {
  ASSERT_TRUE(initWork());
  const uint64_t nbFiles = 8192;  // 8 files per directory
  setRun(nbFiles);
  makeDirectories();
  // A regular file where d_005 should be, and d_007 missing altogether.
  ASSERT_EQ(rmdir("d_005"), 0);
  writeFile("d_005", "in the way");
  ASSERT_EQ(rmdir("d_007"), 0);

  Phase create = run(createWorker, 8);
  EXPECT_EQ(create.stats.failures.count, 16u);
  EXPECT_EQ(create.stats.failures.firstIndex, 40u);
  EXPECT_STREQ(create.stats.failures.firstCall, "open");
  EXPECT_EQ(create.stats.failures.firstError, ENOTDIR);

  fileBlocks = 0;
  Phase size = run(sizeWorker, 2);
  EXPECT_EQ(size.stats.failures.count, 16u);
  EXPECT_STREQ(size.stats.failures.firstCall, "stat");
  EXPECT_EQ(size.stats.failures.firstIndex, 40u);
  struct stat st;
  ASSERT_EQ(stat(pathOf(0).c_str(), &st), 0);
  // The files that could not be measured add nothing.
  EXPECT_EQ(fileBlocks, static_cast<int64_t>(nbFiles - 16) * st.st_blocks);

  Phase del = run(deleteWorker, 64);
  EXPECT_EQ(del.stats.failures.count, 16u);
  EXPECT_STREQ(del.stats.failures.firstCall, "unlink");
  EXPECT_EQ(del.stats.failures.firstError, ENOTDIR);
  // Failed files are counted apart from the timed ones.
  for (const Phase* phase : {&create, &size, &del}) {
    EXPECT_EQ(phase->stats.latency.total, nbFiles - 16);
  }
  EXPECT_EQ(readFile("d_005"), "in the way");
}
