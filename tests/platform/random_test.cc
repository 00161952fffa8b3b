// The random source: the same numbers for the same seed on every target,
// uniform draws within bounds, and a seed of its own for each process.
#include "platform/random.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>

#include "platform/looper.h"

namespace kv {
namespace {

TEST(Random, ASeedGivesTheSameNumbersOnEveryTarget) {
  const struct { uint64_t seed; std::array<uint64_t, 3> first; } cases[] = {
      {0, {0xE220A8397B1DCDAFu, 0x6E789E6AA1B965F4u, 0x06C45D188009454Fu}},
      {1234567, {0x599ED017FB08FC85u, 0x2C73F08458540FA5u, 0x883EBCE5A3F27C77u}},
  };
  for (const auto& c : cases) {
    Random random(c.seed);
    for (uint64_t want : c.first) EXPECT_EQ(want, random.next()) << "seed " << c.seed;
  }
}

TEST(Random, DrawsStayWithinTheirBoundsAndReachBothEnds) {
  const struct { uint64_t low, high; bool reachesEnds; } cases[] = {
      {5, 5, true},
      {0, 1, true},
      {800, 1200, true},
      {UINT64_MAX - 2, UINT64_MAX, true},
      {0, UINT64_MAX, false},              // the whole range
      {0, (uint64_t{1} << 63) + 1, false},  // nearly half the draws are thrown away
  };
  Random random(42);
  for (const auto& c : cases) {
    std::set<uint64_t> seen;
    for (int i = 0; i < 4000; ++i) {
      const uint64_t draw = random.between(c.low, c.high);
      ASSERT_LE(c.low, draw) << c.low << ".." << c.high;
      ASSERT_GE(c.high, draw) << c.low << ".." << c.high;
      seen.insert(draw);
    }
    if (c.reachesEnds) {
      EXPECT_TRUE(seen.count(c.low) && seen.count(c.high)) << c.low << ".." << c.high;
    } else {
      EXPECT_GT(seen.size(), 3990u) << c.low << ".." << c.high;
    }
  }
}

TEST(Random, DrawsAreSpreadEvenly) {
  Random random(7);
  std::array<int, 10> counts{};
  for (int i = 0; i < 40000; ++i) ++counts[random.between(0, 9)];
  for (int count : counts) {
    EXPECT_GT(count, 3700);
    EXPECT_LT(count, 4300);
  }
}

TEST(Random, ALoopGivenASeedRepeatsItsNumbersAndEachProcessSeedsItsOwn) {
  LooperOptions fixed;
  fixed.randomSeed = 99;
  Looper first(fixed), second(fixed), unseeded{LooperOptions()};
  const uint64_t drawn = first.random().next();
  EXPECT_EQ(drawn, second.random().next());
  EXPECT_EQ(Random(99).next(), drawn);
  EXPECT_NE(drawn, unseeded.random().next());
  EXPECT_NE(Random::processSeed(), Random::processSeed());
}

}  // namespace
}  // namespace kv
