#include "driver/load.h"

#include <gtest/gtest.h>

namespace treeflood {

TEST(HostLoad, OthersAreTheBusyTimeLessOursOverTheWallTime) {
  // /proc/stat's first line, in ticks of 1/100 s: 6 s busy, 0.5 s stolen.
  HostReading start, end;
  ASSERT_TRUE(readProcStat("cpu  100 0 50 900 7 0 0 0 0 0\ncpu0 1 2 3 4 5\n",
                           100, &start));
  ASSERT_TRUE(readProcStat("cpu  400 50 250 1900 9 20 30 50 0 0\n", 100, &end));
  EXPECT_DOUBLE_EQ(end.busy - start.busy, 6);
  EXPECT_DOUBLE_EQ(end.steal, 0.5);
  // Anything but the cpu line is refused.
  EXPECT_FALSE(readProcStat("intr 1 2 3 4 5 6 7 8\n", 100, &start));
  start = {.known = true,
           .ns = 0,
           .busy = 10,
           .loadAverage = 2.5,
           .user = 1,
           .system = 2,
           .children = 0.5};
  // 2 s of wall time: 6 s busy, of which ours 1 + 1.5 + 0.5 (ls).
  end = {.known = true,
         .ns = 2000000000,
         .busy = 16,
         .steal = 1,
         .user = 2,
         .system = 3.5,
         .children = 1};
  HostLoad load = hostLoad(start, end);
  EXPECT_DOUBLE_EQ(load.otherCpus, 1.5);
  EXPECT_DOUBLE_EQ(load.stealCpus, 0.5);
  EXPECT_DOUBLE_EQ(load.systemSeconds, 1.5);
  EXPECT_DOUBLE_EQ(hostLoad(start, end, 1).otherCpus, 1);  // and ls's 1 s
  // Ticks round: never less than nobody. Unread: our own time only.
  end.busy = 11;
  EXPECT_EQ(hostLoad(start, end).otherCpus, 0);
  end.known = false;
  load = hostLoad(start, end);
  EXPECT_FALSE(load.known);
  EXPECT_DOUBLE_EQ(load.userSeconds, 1);
}

}  // namespace treeflood
