#include "driver/messages.h"

#include <errno.h>
#include <gtest/gtest.h>

namespace treeflood {

TEST(FailureText, NamesCountCallPathAndError) {
  const TreeLayout big = computeLayout(100000);
  auto text = [&big](PhaseFailures f, uint64_t total, bool directIo) {
    return failureText(f, total, big, Entries::Files, "lost", directIo);
  };
  EXPECT_EQ(text({}, 100, true), "");
  EXPECT_EQ(text({9, 129, "write", EINVAL}, 100000, true),
            "Warning: 9 of 100000 files could not be lost (first: "
            "write(d_001/f_01): Invalid argument); the file system may "
            "refuse direct I/O: try --no-direct-io\n");
  // Our own text for an entry that is not the run's to touch.
  EXPECT_EQ(text({2, 7, "stat", kNotRegular}, 8, true),
            "Warning: 2 of 8 files could not be lost (first: "
            "stat(d_000/f_07): not a regular file)\n");
  // Where content differs, where and how.
  const struct {
    int kind;
    Difference at;
    const char* text;
  } differences[] = {
      {kContentDiffers, {0, 4096, 4096}, "content differs at byte 4096"},
      {kMisplaced,
       {0, 1536, 2559, 129, 512},
       "bytes 1536 to 2559 hold d_001/f_01's bytes 512 to 1535"},
  };
  for (const auto& d : differences) {
    EXPECT_EQ(text({1, 7, "read", d.kind, d.at}, 8, false),
              std::string("Warning: 1 of 8 files could not be lost (first: "
                          "read(d_000/f_07): ") +
                  d.text + ")\n");
  }
}

}  // namespace treeflood
