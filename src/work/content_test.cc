#include "work/content.h"

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

namespace treeflood {

TEST(RandomData, OneSeedOneContentEveryBlockStampedAndSpansAgree) {
  RandomData a, other;
  ASSERT_TRUE(makeRandomData(5, &a) && makeRandomData(6, &other));
  // Spans past the pool's end; others, another seed and another file.
  const size_t kSize = 3 * kMaxSpan;
  std::vector<char> whole(kSize), part(kMaxSpan), again(kMaxSpan);
  for (uint64_t at = 0; at < kSize; at += kMaxSpan)
    fillData(a, 77, at, kMaxSpan, whole.data() + at);
  fillData(a, 77, 4096, kMaxSpan, part.data());
  EXPECT_EQ(memcmp(part.data(), whole.data() + 4096, kMaxSpan), 0);
  fillData(other, 77, 4096, kMaxSpan, again.data());
  EXPECT_NE(memcmp(part.data(), again.data(), kMaxSpan), 0);
  fillData(a, 78, 4096, kMaxSpan, again.data());
  EXPECT_NE(memcmp(part.data() + 16, again.data() + 16, 496), 0);
  for (uint64_t block = 0; block < kSize; block += 512) {
    const uint64_t stamp[2] = {77, block};
    ASSERT_EQ(memcmp(whole.data() + block, stamp, 16), 0) << block;
  }
}

}  // namespace treeflood
