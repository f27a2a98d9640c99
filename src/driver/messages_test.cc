#include "driver/messages.h"

#include <errno.h>
#include <gtest/gtest.h>

namespace treeflood {

TEST(FailureText, NamesCountCallPathAndError) {
  const TreeLayout big = computeLayout(100000);
  const TreeLayout huge = computeLayout(UINT64_MAX);
  auto text = [](PhaseFailures f, uint64_t total, const TreeLayout* layout,
                 bool directIo) {
    return failureText(f, total, *layout, Entries::Files, "lost", directIo);
  };
  EXPECT_EQ(text({}, 100, &big, true), "");
  EXPECT_EQ(text({9, 129, "write", EINVAL}, 100000, &big, true),
            "Warning: 9 of 100000 files could not be lost (first: "
            "write(d_001/f_01): Invalid argument); the file system may "
            "refuse direct I/O: try --no-direct-io\n");
  // Our own text for an entry that is not the run's to touch.
  EXPECT_EQ(text({2, 7, "stat", kNotRegular}, 8, &big, true),
            "Warning: 2 of 8 files could not be lost (first: "
            "stat(d_000/f_07): not a regular file)\n");
  // Counts above 2^63 are never shown as negative numbers.
  EXPECT_EQ(text({UINT64_MAX - 1, 0, "unlink", EIO}, UINT64_MAX, &huge, false),
            "Warning: 18446744073709551614 of 18446744073709551615 files "
            "could not be lost (first: unlink(d_000/f_00000000000000): "
            "Input/output error)\n");
  // Where content differs, the first byte that does; directories named as
  // wide as their count needs.
  EXPECT_EQ(text({1, 7, "read", kContentDiffers, 4096}, 8, &big, false),
            "Warning: 1 of 8 files could not be lost (first: "
            "read(d_000/f_07): content differs at byte 4096)\n");
  EXPECT_EQ(failureText({1, 0xabc1, "rmdir", ENOTEMPTY}, 65536,
                        computeLayout(9, Spread::Blocks, 65536),
                        Entries::Directories, "removed", false),
            "Warning: 1 of 65536 directories could not be removed (first: "
            "rmdir(d_abc1): Directory not empty)\n");
}

}  // namespace treeflood
