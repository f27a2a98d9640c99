#include "driver/summary.h"

#include <errno.h>
#include <gtest/gtest.h>

#include "test_util.h"

namespace treeflood {

TEST(Summary, Table) {
  // 1000 files: the create phase failed for 10, the delete phase did not run.
  RunResults r;
  for (Phase k : {Phase::Create, Phase::List, Phase::Size}) {
    r[k].ran = true;
    r[k].files = 1000;
  }
  r[Phase::Create].wallSeconds = 0.5;
  r[Phase::Size].wallSeconds = 0.25;
  r[Phase::Create].stats.fileSeconds = 0.4;
  r[Phase::Create].stats.syncSeconds = 0.1;
  r[Phase::Create].host = {.userSeconds = 0.5, .systemSeconds = 1.5};
  r[Phase::Size].stats.fileSeconds = 0.2;
  // ls failed: the listing did none of the files.
  r[Phase::List].command = CommandResult{.ran = true, .exitStatus = 2};
  r[Phase::List].command->usage.ru_utime.tv_usec = 250000;
  r[Phase::List].stats.failures.count = 1000;
  r[Phase::List].wallSeconds = r[Phase::List].stats.fileSeconds = 0.125;
  r.spaceMeasured = true;
  r.bytesUsed = 4096000;
  r.inodesUsed = 2000;
  r[Phase::Create].stats.failures = {10, 3, "open", EACCES};
  for (int i = 0; i < 990; ++i)
    recordLatency(&r[Phase::Create].stats.latency, 2000);
  recordLatency(&r[Phase::Create].stats.latency, 1500);
  EXPECT_EQ(summaryText({r}),
            "phase   files  failed  seconds  file work s  files/s  min us  "
            "p50 us  p90 us  p99 us  p99.9 us  max us\n"
            "create    990      10    0.500        0.400     2475     1.5     "
            "2.0     2.0     2.0       2.0     2.0\n"
            "list        0    1000    0.125        0.125        0       -     "
            "  -       -       -         -       -\n"
            "size     1000       0    0.250        0.200     5000       -     "
            "  -       -       -         -       -\n"
            "files/s: files done per second of the file work, the "
            "directories' time left out\n"
            "Directories: made in 0.000 s\n"
            "CPU: treeflood 0.500 s user, 1.500 s system; ls 0.250 s user, "
            "0.000 s system\n"
            "Sync: 0.100 s of the create phase's file work was its syncfs\n"
            "Space used by the tree: 3.91 MBytes and 2000 inodes, 4.0 KBytes "
            "and 2.02 inodes per file\n");
  // Per file made; btrfs counts no inodes.
  r.inodesCounted = false;
  EXPECT_MATCH(summaryText({r}),
               "*\nSpace used by the tree: 3.91 MBytes, 4.0 "
               "KBytes per file; inodes not counted by this "
               "file system\n");
}

}  // namespace treeflood
