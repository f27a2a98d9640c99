#include "driver/system.h"

#include <gtest/gtest.h>

#include <sstream>

namespace treeflood {

TEST(MountAbove, DeepestMountAboveTheDirectory) {
  const std::string mountinfo =
      "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "31 30 0:6 / /mnt/fast\\040disk rw,noatime - xfs /dev/nvme0 rw,sync\n"
      "30 22 0:5 / /mnt rw shared:1 - tmpfs tmpfs rw\n"
      "32 22 0:7 / /mn rw - nfs server:/x rw\n"
      "33 22 0:8 / /srv/a\\134b\\011c rw - btrfs /dev/sdb rw\n"
      "34 22 0:9 / /srv/d\\040 rw - xfs /dev/sdc rw\n";
  for (auto [dir, type] :
       {std::pair{"/home/u", "ext4 /dev/sda1 rw rw"},
        {"/mnt", "tmpfs tmpfs rw rw"},
        {"/mnt/fast disk/a", "xfs /dev/nvme0 rw,noatime rw,sync"},
        {"/mnt/fast", "tmpfs tmpfs rw rw"},
        {"/mnt2", "ext4 /dev/sda1 rw rw"},
        {"/srv/a\\b\tc", "btrfs /dev/sdb rw rw"},
        {"/srv/d /e", "xfs /dev/sdc rw rw"}}) {
    std::istringstream in(mountinfo);
    MountEntry m = mountAbove(in, dir);
    EXPECT_EQ(m.type + " " + m.source + " " + m.options + " " + m.superOptions,
              type)
        << dir;
  }
}

}  // namespace treeflood
