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

TEST(Random, ASeedGivesTheSameNumbersOnEveryTargetAndEachProcessSeedsItsOwn) {
  const struct { uint64_t seed; std::array<uint64_t, 3> first; } cases[] = {
      {0, {0xE220A8397B1DCDAFu, 0x6E789E6AA1B965F4u, 0x06C45D188009454Fu}},
      {1234567, {0x599ED017FB08FC85u, 0x2C73F08458540FA5u, 0x883EBCE5A3F27C77u}},
  };
  for (const auto& c : cases) {
    Random random(c.seed);
    for (uint64_t want : c.first) EXPECT_EQ(want, random.next()) << "seed " << c.seed;
  }
  LooperOptions fixed;
  fixed.randomSeed = 1234567;
  Looper seeded(fixed), unseeded{LooperOptions()};
  EXPECT_EQ(cases[1].first[0], seeded.random().next());
  EXPECT_NE(cases[1].first[0], unseeded.random().next());
  EXPECT_NE(Random::processSeed(), Random::processSeed());
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
      ASSERT_TRUE(c.low <= draw && draw <= c.high) << c.low << ".." << c.high << ": " << draw;
      seen.insert(draw);
    }
    if (c.reachesEnds) {
      EXPECT_TRUE(seen.count(c.low) && seen.count(c.high)) << c.low << ".." << c.high;
    } else {
      EXPECT_GT(seen.size(), 3990u) << c.low << ".." << c.high;
    }
  }
}

}  // namespace
}  // namespace kv
