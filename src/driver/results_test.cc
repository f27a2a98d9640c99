#include "driver/results.h"

#include <errno.h>
#include <gtest/gtest.h>

TEST(Results, SummaryAndValidity) {
  // 1000 files on 4 threads: the create phase failed for 10, the delete
  // phase did not run.
  RunResults r;
  for (PhaseResult* p : {&r.phases[0], &r.phases[1]}) {
    p->ran = true;
    p->files = 1000;
    p->stats.threadsRun = 4;
  }
  r.phases[0].wallSeconds = 0.5;
  r.phases[1].wallSeconds = 0.25;
  r.listing.ran = true;
  for (int i = 0; i < 990; ++i) recordLatency(&r.phases[0].stats.latency, 2000);
  recordLatency(&r.phases[0].stats.latency, 1500);
  EXPECT_TRUE(runValid(r, 4));
  r.phases[0].stats.failures = {10, 3, "open", EACCES};
  EXPECT_EQ(summaryText({r}),
            "phase   files  failed  seconds  files/s  min us  p50 us  p90 us  "
            "p99 us  p99.9 us  max us\n"
            "create    990      10    0.500     1980     1.5     2.0     2.0  "
            "   2.0       2.0     2.0\n"
            "size     1000       0    0.250     4000       -       -       -  "
            "     -         -       -\n"
            "Directories: made in 0.000 s\n");
  EXPECT_FALSE(runValid(r, 4));
  r.phases[0].stats.failures = {};
  r.phases[1].stats.threadsRun = 3;  // a thread did not start
  EXPECT_FALSE(runValid(r, 4));
}

TEST(Results, CsvRowQuotesWhatNeedsIt) {
  RunResults r;
  r.phases[0] = {.ran = true, .files = 10, .startedAt = "T", .wallSeconds = 4};
  r.phases[0].stats.failures.count = 2;
  SystemInfo system;
  system.hostname = "h";
  system.mount.type = "ext4";
  EXPECT_EQ(csvRows(r, 2, RunSettings(), "/a,\"b\"", system),
            "T,h,ext4,\"/a,\"\"b\"\"\",100000,1,10240,true,warm,2,create,8,2,"
            "4.000000000,2.000,,,,\n");
}
