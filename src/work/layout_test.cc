#include "work/layout.h"

#include <gtest/gtest.h>

namespace treeflood {

TEST(Layout, FanOutAndPaths) {
  const struct {
    uint64_t nbFiles;
    unsigned dirBits, nameWidth;
    uint64_t index;  // a file whose path is checked
    const char* path;
    bool interleaved = false;
    unsigned dirs = kDefaultDirs;
  } cases[] = {
      {0, 0, 1, 0, "d_000/f_0"},
      {1024, 0, 1, 1023, "d_3ff/f_0"},
      {1025, 1, 1, 1024, "d_200/f_0"},
      {100000, 7, 2, 99999, "d_30d/f_1f"},
      {100000, 7, 2, 127, "d_000/f_7f"},
      {100000, 7, 2, 128, "d_001/f_00"},
      {1048576, 10, 3, 1048575, "d_3ff/f_3ff"},
      {1048577, 11, 3, 1048576, "d_200/f_000"},
      {UINT64_MAX, 54, 14, UINT64_MAX - 1, "d_3ff/f_3ffffffffffffe"},
      // Every 1024th number in a directory.
      {1000, 0, 1, 999, "d_3e7/f_0", true},
      {100000, 7, 2, 1023, "d_3ff/f_00", true},
      {100000, 7, 2, 99999, "d_29f/f_61", true},
      {1000000000, 20, 5, 417751, "d_3d7/f_00197", true},
      {UINT64_MAX, 54, 14, UINT64_MAX - 1, "d_3fe/f_3fffffffffffff", true},
      // One directory, two, and the most: names never narrower than 3.
      {5, 3, 1, 4, "d_000/f_4", false, 1},
      {UINT64_MAX, 64, 16, UINT64_MAX - 1, "d_000/f_fffffffffffffffe", false,
       1},
      {4, 1, 1, 3, "d_001/f_1", false, 2},
      {3, 1, 1, 2, "d_000/f_1", true, 2},
      {65536, 0, 1, 65535, "d_ffff/f_0", false, 65536},
      {100000, 1, 1, 99999, "d_c34f/f_1", false, 65536},
      {100000, 1, 1, 65537, "d_0001/f_1", true, 65536},
  };
  for (const auto& c : cases) {
    TreeLayout layout = computeLayout(
        c.nbFiles, c.interleaved ? Spread::Interleaved : Spread::Blocks,
        c.dirs);
    EXPECT_EQ(layout.dirBits, c.dirBits) << c.nbFiles;
    EXPECT_EQ(layout.nameWidth, c.nameWidth) << c.nbFiles;
    char path[kPathSize], name[kPathSize];
    EXPECT_EQ(filePath(layout, c.index, path), strlen(c.path));
    EXPECT_STREQ(path, c.path) << c.nbFiles;
    const size_t slash = strcspn(c.path, "/");
    fileName(layout, c.index, name);
    EXPECT_STREQ(name, c.path + slash + 1);
    dirName(layout, dirOf(layout, c.index), name);
    EXPECT_EQ(std::string(name), std::string(c.path, slash));
  }
}

}  // namespace treeflood
