#include "driver/run.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>

TEST(FailureText, NamesCountCallPathAndError) {
  const int kDirect = O_WRONLY | O_CREAT | O_DIRECT;
  const int kBuffered = O_WRONLY | O_CREAT;
  const struct {
    PhaseFailures failures;
    uint64_t nbFiles;
    const char* verb;
    int flags;
    const char* text;
  } cases[] = {
      {{}, 100, "created", kDirect, ""},
      {{8, 40, "open", ENOTDIR},
       8192,
       "created",
       kDirect,
       "Warning: 8 of 8192 files could not be created (first: "
       "open(d_005/f_0): Not a directory)\n"},
      {{3, 129, "write", 0},
       100000,
       "created",
       kBuffered,
       "Warning: 3 of 100000 files could not be created (first: "
       "write(d_001/f_01): short write)\n"},
      {{100000, 0, "open", EINVAL},
       100000,
       "created",
       kDirect,
       "Warning: 100000 of 100000 files could not be created (first: "
       "open(d_000/f_00): Invalid argument); the file system may refuse "
       "direct I/O: try --no-direct-io\n"},
      // Without O_DIRECT, EINVAL has nothing to do with direct I/O.
      {{1, 0, "open", EINVAL},
       1,
       "created",
       kBuffered,
       "Warning: 1 of 1 files could not be created (first: open(d_000/f_0): "
       "Invalid argument)\n"},
      {{1, 5, "unlink", ENOENT},
       10,
       "deleted",
       kDirect,
       "Warning: 1 of 10 files could not be deleted (first: "
       "unlink(d_005/f_0): No such file or directory)\n"},
      // Counts above 2^63 are never shown as negative numbers.
      {{UINT64_MAX - 1, 0, "stat", EIO},
       UINT64_MAX,
       "measured",
       kDirect,
       "Warning: 18446744073709551614 of 18446744073709551615 files could "
       "not be measured (first: stat(d_000/f_00000000000000): Input/output "
       "error)\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(failureText(c.failures, c.nbFiles, c.verb, c.flags), c.text);
  }
}
