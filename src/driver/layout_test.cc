#include "driver/layout.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>
#include <string>

namespace {

std::string pathOf(const TreeLayout& layout, uint64_t index) {
  char buf[32];
  size_t length = filePath(layout, index, buf);
  EXPECT_EQ(length, 8u + layout.nameWidth);
  EXPECT_EQ(strlen(buf), length);
  return buf;
}

}  // namespace

TEST(Layout, FanOutByCount) {
  const struct {
    uint64_t nbFiles;
    unsigned dirBits, nameWidth;
    const char* lastPath;
  } cases[] = {
      {0, 0, 1, nullptr},
      {1, 0, 1, "d_000/f_0"},
      {1000, 0, 1, "d_3e7/f_0"},
      {1024, 0, 1, "d_3ff/f_0"},
      {1025, 1, 1, "d_200/f_0"},
      {2048, 1, 1, "d_3ff/f_1"},
      {8192, 3, 1, "d_3ff/f_7"},
      {8193, 4, 1, "d_200/f_0"},
      {9216, 4, 1, "d_23f/f_f"},
      {65537, 7, 2, "d_200/f_00"},
      {100000, 7, 2, "d_30d/f_1f"},
      {1048576, 10, 3, "d_3ff/f_3ff"},
      {1048577, 11, 3, "d_200/f_000"},
      {1000000000, 20, 5, "d_3b9/f_ac9ff"},
      {uint64_t{1} << 63, 53, 14, "d_3ff/f_1fffffffffffff"},
      {UINT64_MAX, 54, 14, "d_3ff/f_3ffffffffffffe"},
  };
  for (const auto& c : cases) {
    TreeLayout layout = computeLayout(c.nbFiles);
    EXPECT_EQ(layout.dirBits, c.dirBits) << c.nbFiles;
    EXPECT_EQ(layout.nameWidth, c.nameWidth) << c.nbFiles;
    if (c.lastPath != nullptr) {
      EXPECT_EQ(pathOf(layout, c.nbFiles - 1), c.lastPath) << c.nbFiles;
    }
  }
}

TEST(Layout, DefaultCountPaths) {
  TreeLayout layout = computeLayout(100000);
  EXPECT_EQ(pathOf(layout, 0), "d_000/f_00");
  EXPECT_EQ(pathOf(layout, 127), "d_000/f_7f");
  EXPECT_EQ(pathOf(layout, 128), "d_001/f_00");
}

TEST(Layout, ConsecutiveNumbersFillDirectoriesInOrder) {
  // Across a directory boundary, at counts of several fan-outs.
  for (uint64_t nbFiles : {1025ULL, 8193ULL, 1048577ULL, 1ULL << 40}) {
    TreeLayout layout = computeLayout(nbFiles);
    uint64_t perDir = uint64_t{1} << layout.dirBits;
    std::ostringstream last;
    last << "d_005/f_" << std::hex << std::setfill('0')
         << std::setw(layout.nameWidth) << perDir - 1;
    EXPECT_EQ(pathOf(layout, 6 * perDir - 1), last.str()) << nbFiles;
    EXPECT_EQ(pathOf(layout, 6 * perDir),
              "d_006/f_" + std::string(layout.nameWidth, '0'))
        << nbFiles;
  }
}

TEST(Layout, DirectoryNames) {
  char buf[6];
  dirName(0, buf);
  EXPECT_STREQ(buf, "d_000");
  dirName(0x3ff, buf);
  EXPECT_STREQ(buf, "d_3ff");
  dirName(0xab, buf);
  EXPECT_STREQ(buf, "d_0ab");
}
