#include "work/order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace treeflood {

namespace {

// Where each of 0..count-1 goes under `order`.
std::vector<uint64_t> images(const FileOrder& order, uint64_t count) {
  std::vector<uint64_t> out(count);
  for (uint64_t i = 0; i < count; ++i) out[i] = fileOf(order, i);
  return out;
}

}  // namespace

TEST(Order, EachPhaseABijectionOfItsOwnThatItsSeedRepeats) {
  for (uint64_t count : {1u, 2u, 3u, 5u, 64u, 65u, 1000u, 4096u, 100000u}) {
    const std::vector<uint64_t> a =
        images(randomOrder(7, 1, count, count), count);
    std::vector<uint64_t> sorted = a;
    std::sort(sorted.begin(), sorted.end());
    for (uint64_t i = 0; i < count; ++i) ASSERT_EQ(sorted[i], i) << count;
    EXPECT_EQ(images(randomOrder(7, 1, count, count), count), a);
    if (count < 64) continue;
    // Another seed, or another phase of the same seed, visits in another
    // order, and none keeps the numbers in their order.
    EXPECT_NE(images(randomOrder(8, 1, count, count), count), a);
    EXPECT_NE(images(randomOrder(7, 2, count, count), count), a);
    EXPECT_FALSE(std::is_sorted(a.begin(), a.end()));
  }
  // After a create phase of 1000 files that drew 300 numbers, a later phase
  // visits exactly the files made, each once.
  std::vector<uint64_t> made = images(randomOrder(7, 0, 1000, 1000), 300);
  std::vector<uint64_t> later = images(randomOrder(7, 3, 300, 1000), 300);
  std::sort(made.begin(), made.end());
  std::sort(later.begin(), later.end());
  EXPECT_EQ(later, made);
  EXPECT_GT(made.back(), 300u);
}

}  // namespace treeflood
