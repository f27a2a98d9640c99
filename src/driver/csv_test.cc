#include "driver/csv.h"

#include <gtest/gtest.h>

namespace treeflood {

TEST(Csv, RowQuotesWhatNeedsIt) {
  RunResults r;
  r[Phase::Create] = {
      .ran = true, .files = 10, .startedAt = "T", .wallSeconds = 4};
  r[Phase::Create].stats.failures.count = 2;
  r[Phase::Create].stats.fileSeconds = 2;
  r[Phase::Create].stats.syncSeconds = 0.5;
  r[Phase::Create].host = {true, 1.25, 0, 2.5, 0.5, 1};
  RunSettings settings = {.label = "x,y",
                          .sync = kSyncPhase,
                          .dirs = 2,
                          .randomOrder = true,
                          .randomData = true};
  RunContext run = {.settings = &settings, .workDir = "/a,\"b\""};
  run.system.hostname = "h";
  run.system.mount.type = "ext4";
  run.system.mount.options = "rw,noatime";
  run.seed = 42;
  run.side = "B";
  EXPECT_EQ(
      csvRows(r, 2, run),
      "T,h,ext4,\"/a,\"\"b\"\"\",100000,1,10240,true,warm,2,create,8,2,"
      "4.000000000,2.000,,,,,2.000000000,4.000,\"x,y\",phase,2,random,42,1,"
      "1,random,\"rw,noatime\",0.500000000,1.250,0.000,2.50,0.500,1.000,B\n");
}

}  // namespace treeflood
