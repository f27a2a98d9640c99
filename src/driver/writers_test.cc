#include "driver/writers.h"

#include <errno.h>
#include <gtest/gtest.h>

namespace treeflood {

TEST(Writers, SummaryTable) {
  // 1000 files: the create phase failed for 10, the delete phase did not run.
  RunResults r;
  for (Phase k : {Phase::Create, Phase::List, Phase::Size}) {
    r[k].ran = true;
    r[k].files = 1000;
  }
  r[Phase::Create].wallSeconds = 0.5;
  r[Phase::Size].wallSeconds = 0.25;
  r[Phase::Create].stats.fileSeconds = 0.4;
  r[Phase::Size].stats.fileSeconds = 0.2;
  // ls failed: the listing did none of the files.
  r[Phase::List].command = CommandResult{.ran = true, .exitStatus = 2};
  r[Phase::List].stats.failures.count = 1000;
  r[Phase::List].wallSeconds = r[Phase::List].stats.fileSeconds = 0.125;
  r.spaceMeasured = true;
  r.bytesUsed = 4096000;
  r.inodesUsed = 2000;
  r[Phase::Create].stats.failures = {10, 3, "open", EACCES};
  for (int i = 0; i < 990; ++i) {
    recordLatency(&r[Phase::Create].stats.latency, 2000);
  }
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
            "Space used by the tree: 3.91 MBytes and 2000 inodes, 4.0 KBytes "
            "and 2.00 inodes per file\n");
}

TEST(Writers, CsvRowQuotesWhatNeedsIt) {
  RunResults r;
  r[Phase::Create] = {
      .ran = true, .files = 10, .startedAt = "T", .wallSeconds = 4};
  r[Phase::Create].stats.failures.count = 2;
  r[Phase::Create].stats.fileSeconds = 2;
  RunSettings settings;
  settings.label = "x,y";
  settings.sync = kSyncFile;
  settings.dirs = 2;
  settings.randomOrder = true;
  RunContext run = {.settings = &settings, .workDir = "/a,\"b\""};
  run.system.hostname = "h";
  run.system.mount.type = "ext4";
  run.seed = 42;
  EXPECT_EQ(
      csvRows(r, 2, run),
      "T,h,ext4,\"/a,\"\"b\"\"\",100000,1,10240,true,warm,2,create,8,2,"
      "4.000000000,2.000,,,,,2.000000000,4.000,\"x,y\",file,2,random,42\n");
}

}  // namespace treeflood
