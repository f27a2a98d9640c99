#include "work/grants.h"

#include <thread>

#include "test_util.h"

namespace treeflood {

namespace {
const uint64_t kSecond = 1000000000;
}  // namespace

TEST(Grants, SizeIsAShareOfWhatIsLeftWithinTheBound) {
  // Unhanded, threads, bound, size.
  for (auto [unhanded, threads, bound, size] :
       {std::tuple{60000ul, 3u, 0ul, 10000ul},
        {60000ul, 3u, 64ul, 64ul},
        {11ul, 3u, 0ul, 1ul},
        {0ul, 1u, 0ul, 0ul},
        {1000ul, 1u, 1ul, 1ul}}) {
    EXPECT_EQ(grantSize(unhanded, threads, bound), size)
        << unhanded << " " << threads << " " << bound;
  }
}

TEST(Grants, EveryNumberOnceInShrinkingGrants) {
  GrantPool pool;
  pool.start(60000, 3, 0, 0, 0);
  pool.worked = 1000000000;  // a rate that bounds nothing
  std::vector<uint64_t> sizes;
  for (Grant g; (g = pool.take(kSecond)).first != g.end;)
    sizes.push_back(g.end - g.first);
  EXPECT_EQ(pool.next, 60000u);
  EXPECT_EQ(sizes.front(), 10000u);
  EXPECT_TRUE(std::is_sorted(sizes.rbegin(), sizes.rend()));
  EXPECT_EQ(sizes.back(), 1u);
  // Single numbers only once fewer than 2 x 2 x 3 are left.
  EXPECT_LT(std::count(sizes.begin(), sizes.end(), 1u), 12);
  pool.start(100, 2, 0, 0, 0);
  pool.closed = true;
  EXPECT_EQ(pool.take(0).end, pool.take(0).first);
  EXPECT_EQ(pool.next, 0u);
}

TEST(Grants, AQuarterSecondOfWorkAtMostAndNonePastTheTimeLimit) {
  // The time limit (0 for none) and the grant after 1000 files in 1 s, on
  // 1 thread: half of 0.5 s of work, or of a quarter of the time left.
  for (auto [deadline, size] : {std::pair{0ul, 250ul},
                                {11 * kSecond, 250ul},
                                {2 * kSecond + 400000000, 50ul}}) {
    GrantPool pool;
    pool.start(1000000, 1, 0, kSecond, deadline);
    // Nothing begun yet: no rate, one number.
    EXPECT_EQ(pool.take(kSecond).end, 1u);
    pool.worked = 1000;
    const Grant g = pool.take(2 * kSecond);
    EXPECT_EQ(g.end - g.first, size) << deadline;
    const Grant last = pool.take(std::max(deadline, 2 * kSecond));
    EXPECT_EQ(last.first == last.end, deadline != 0) << deadline;
    EXPECT_EQ(pool.timeUp, deadline != 0);
  }
}

TEST(Grants, ThreadsOfACounterDrawEveryNumberOnce) {
  GrantPool pool;
  GrantedCounter counter;
  counter.pool = &pool;
  std::vector<std::atomic<int>> hits(200000);
  for (unsigned threads : {64u, 3u}) {
    for (auto& h : hits) h = 0;
    pool.start(hits.size(), threads, 100, 0, 0);
    counter.reset();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back([&] {
        NumberCursor cursor;
        for (uint64_t i; (i = counter.next(&cursor)) < hits.size();) ++hits[i];
      });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), hits.size());
    EXPECT_EQ(counter.handedOut(), hits.size());
  }
}

}  // namespace treeflood
