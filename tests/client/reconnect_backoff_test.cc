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

TEST(ReconnectBackoff, TheBaseDoublesUpToTwoMinutesAndEachDelayIsScaledWithinAFifth) {
  const struct { uint32_t baseSeconds; kv::Ticks least, most; } attempts[] = {
      {10, 800, 1200},   {20, 1600, 2400},  {40, 3200, 4800},   {80, 6400, 9600},
      {120, 9600, 14400}, {120, 9600, 14400}, {120, 9600, 14400},
  };
  for (uint64_t seed = 1; seed <= 50; ++seed) {
    kv::Random random(seed);
    ReconnectBackoff backoff;
    for (const auto& a : attempts) {
      ASSERT_EQ(a.baseSeconds, backoff.baseSeconds()) << "seed " << seed;
      const kv::Ticks delay = backoff.nextDelayTicks(random, TICKS_PER_SECOND);
      ASSERT_LE(a.least, delay) << "base " << a.baseSeconds << ", seed " << seed;
      ASSERT_GE(a.most, delay) << "base " << a.baseSeconds << ", seed " << seed;
    }
  }
}

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

// 500 clients of one daemon lose their broker at the same tick: their first
// attempts, and the second ones after the first all failed, come at most
// 25 (5 %) in any 100 ms.
TEST(ReconnectBackoff, ClientsThatFailTogetherComeBackSpreadOut) {
  for (uint64_t seed : {1u, 77u, 4096u}) {
    kv::Random random(seed);
    std::vector<ReconnectBackoff> clients(500);
    std::vector<kv::Ticks> firstWave, secondWave;
    for (ReconnectBackoff& client : clients) {
      firstWave.push_back(client.nextDelayTicks(random, TICKS_PER_SECOND));
    }
    for (size_t i = 0; i < clients.size(); ++i) {
      secondWave.push_back(firstWave[i] + clients[i].nextDelayTicks(random, TICKS_PER_SECOND));
    }
    EXPECT_LE(mostWithin(firstWave, TICKS_PER_SECOND / 10), 25u) << "seed " << seed;
    EXPECT_LE(mostWithin(secondWave, TICKS_PER_SECOND / 10), 25u) << "seed " << seed;
  }
}

}  // namespace
