#include "driver/run.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

TEST(FailureText, NamesCountCallPathAndError) {
  const TreeLayout big = computeLayout(100000);
  const TreeLayout huge = computeLayout(UINT64_MAX);
  auto text = [](PhaseFailures f, uint64_t total, const TreeLayout* layout,
                 int flags) {
    return failureText(f, total, layout, "lost", flags);
  };
  EXPECT_EQ(text({}, 100, &big, O_DIRECT), "");
  EXPECT_EQ(text({9, 129, "write", EINVAL}, 100000, &big, O_DIRECT),
            "Warning: 9 of 100000 files could not be lost (first: "
            "write(d_001/f_01): Invalid argument); the file system may "
            "refuse direct I/O: try --no-direct-io\n");
  // Our own text for an entry that is not the run's to touch.
  EXPECT_EQ(text({2, 7, "stat", kNotRegular}, 8, &big, O_DIRECT),
            "Warning: 2 of 8 files could not be lost (first: "
            "stat(d_000/f_07): not a regular file)\n");
  // Counts above 2^63 are never shown as negative numbers.
  EXPECT_EQ(text({UINT64_MAX - 1, 0, "unlink", EIO}, UINT64_MAX, &huge, 0),
            "Warning: 18446744073709551614 of 18446744073709551615 files "
            "could not be lost (first: unlink(d_000/f_00000000000000): "
            "Input/output error)\n");
}
