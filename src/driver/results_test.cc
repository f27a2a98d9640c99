#include "driver/results.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <sstream>

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
  EXPECT_EQ(summaryText(r),
            "phase   files  failed  seconds  files/s  min us  p50 us  p90 us  "
            "p99 us  p99.9 us  max us\n"
            "create    990      10    0.500     1980     1.5     2.0     2.0  "
            "   2.0       2.0     2.0\n"
            "size     1000       0    0.250     4000       -       -       -  "
            "     -         -       -\n");
  EXPECT_FALSE(runValid(r, 4));
  r.phases[0].stats.failures = {};
  r.phases[1].stats.threadsRun = 3;  // a thread did not start
  EXPECT_FALSE(runValid(r, 4));
}

TEST(MountedType, DeepestMountAboveTheDirectory) {
  const std::string mountinfo =
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "31 30 0:6 / /mnt/fast\\040disk rw - xfs /dev/nvme0 rw\n"
      "30 22 0:5 / /mnt rw shared:1 - tmpfs tmpfs rw\n"
      "32 22 0:7 / /mn rw - nfs server:/x rw\n";
  for (auto [dir, type] : {std::pair{"/home/u", "ext4"},
                           {"/mnt", "tmpfs"},
                           {"/mnt/fast disk/a", "xfs"},
                           {"/mnt/fast", "tmpfs"},
                           {"/mnt2", "ext4"}}) {
    std::istringstream in(mountinfo);
    EXPECT_EQ(mountedType(in, dir), type) << dir;
  }
}
