// The automatic-connection back-off: the base doubles per failed attempt up
// to its ceiling, every delay is the base scaled by [0.8, 1.2], and many
// clients drawing from one seeded source spread out. When the client starts
// over is tested through the client (tests/commands/connection_test.cc).
#include "client/reconnect_backoff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr uint32_t TICKS_PER_SECOND = 100;
constexpr uint32_t BASES[] = {10, 20, 40, 80, 120, 120};

// The most of `times` (ticks, any order) that fall within any `window`.
size_t mostWithin(std::vector<kv::Ticks> times, kv::Ticks window) {
  std::sort(times.begin(), times.end());
  size_t most = 0;
  for (size_t first = 0, last = 0; last < times.size(); ++last) {
    while (times[last] - times[first] >= window) ++first;
    most = std::max(most, last - first + 1);
  }
  return most;
}

// 500 clients of one daemon lose their broker at the same tick and fail
// every attempt: each delay is its base within a fifth, and each wave of
// attempts comes at most 25 (5 %) in any 100 ms.
TEST(ReconnectBackoff, ClientsThatFailTogetherComeBackSpreadOutWithinAFifthOfTheBase) {
  for (uint64_t seed : {1u, 77u, 4096u}) {
    kv::Random random(seed);
    std::vector<ReconnectBackoff> clients(500);
    std::vector<kv::Ticks> wave(clients.size(), 0);
    for (uint32_t base : BASES) {
      for (size_t i = 0; i < clients.size(); ++i) {
        ASSERT_EQ(base, clients[i].baseSeconds()) << "seed " << seed;
        const kv::Ticks delay = clients[i].nextDelayTicks(random, TICKS_PER_SECOND);
        ASSERT_LE(base * TICKS_PER_SECOND * 8 / 10, delay) << "base " << base << ", seed " << seed;
        ASSERT_GE(base * TICKS_PER_SECOND * 12 / 10, delay) << "base " << base << ", seed " << seed;
        wave[i] += delay;
      }
      EXPECT_LE(mostWithin(wave, TICKS_PER_SECOND / 10), 25u) << "base " << base << ", seed " << seed;
    }
  }
}

}  // namespace
