#include "work/content.h"

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

namespace treeflood {

TEST(RandomData, OneSeedOneContentEveryBlockStampedAndSpansAgree) {
  RandomData a, b, other;
  ASSERT_TRUE(makeRandomData(5, &a) && makeRandomData(5, &b) &&
              makeRandomData(6, &other));
  const size_t kSize = 3 * kMaxSpan;  // its pool place wraps
  std::vector<char> whole(kSize), part(kMaxSpan), again(kMaxSpan);
  for (uint64_t offset = 0; offset < kSize; offset += kMaxSpan) {
    fillData(a, 77, offset, kMaxSpan, whole.data() + offset);
  }
  // Made anew, as another rank does, and in other spans, as a read does.
  fillData(b, 77, 4096, kMaxSpan, part.data());
  EXPECT_EQ(memcmp(part.data(), whole.data() + 4096, kMaxSpan), 0);
  fillData(other, 77, 4096, kMaxSpan, again.data());
  EXPECT_NE(memcmp(part.data(), again.data(), kMaxSpan), 0);
  fillData(a, 78, 4096, kMaxSpan, again.data());
  EXPECT_NE(memcmp(part.data() + 16, again.data() + 16, 496), 0);
  for (uint64_t block = 0; block < kSize; block += 512) {
    uint64_t stamp[2];
    memcpy(stamp, whole.data() + block, sizeof stamp);
    ASSERT_EQ(stamp[0], 77u);
    ASSERT_EQ(stamp[1], block);
  }
}

}  // namespace treeflood
