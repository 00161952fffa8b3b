// Sessions and the login throttle, in virtual time.
#include <gtest/gtest.h>

#include "web/sessions.h"

namespace mqttweb {
namespace {

constexpr uint32_t TPS = 100;

TEST(SessionsTest, ASessionEndsWhenIdleTooLongOrTooOld) {
  const struct {
    const char* name;
    uint32_t stepSeconds;  // a request every this often
    uint32_t steps;
    bool alive;
  } cases[] = {
      {"used now and then", 60, 10, true},
      {"idle just under the limit", Sessions::IDLE_SECONDS - 1, 1, true},
      {"idle the limit", Sessions::IDLE_SECONDS, 1, false},
      {"busy but past its age", 600, Sessions::MAX_AGE_SECONDS / 600, false},
  };
  for (const auto& c : cases) {
    kv::ManualClock clock(TPS);
    Sessions sessions(clock);
    const std::string token = sessions.open("admin", Role::Admin);
    for (uint32_t i = 0; i < c.steps; ++i) {
      clock.advance(uint64_t{c.stepSeconds} * TPS);
      if (i + 1 < c.steps) {
        ASSERT_NE(nullptr, sessions.find(token)) << c.name;
      }
    }
    EXPECT_EQ(c.alive, sessions.find(token) != nullptr) << c.name;
  }
}

TEST(SessionsTest, TokensAreSecretAndSeparate) {
  kv::ManualClock clock(TPS);
  Sessions sessions(clock);
  const std::string a = sessions.open("admin", Role::Admin), b = sessions.open("viewer", Role::ReadOnly);
  EXPECT_EQ(64u, a.size());
  ASSERT_NE(a, b);
  const Session* sa = sessions.find(a);
  ASSERT_NE(nullptr, sa);
  EXPECT_NE(a, sa->csrf);
  EXPECT_EQ(Role::ReadOnly, sessions.find(b)->role);
  EXPECT_EQ(nullptr, sessions.find(""));
  EXPECT_EQ(nullptr, sessions.find(a.substr(1)));
  sessions.close(a);
  EXPECT_EQ(nullptr, sessions.find(a));
  EXPECT_NE(nullptr, sessions.find(b));
}

TEST(SessionsTest, AFullTableEndsTheSessionIdleLongest) {
  kv::ManualClock clock(TPS);
  Sessions sessions(clock);
  std::vector<std::string> tokens;
  for (size_t i = 0; i < Sessions::MAX_SESSIONS; ++i) {
    tokens.push_back(sessions.open("admin", Role::Admin));
    clock.advance(TPS);
  }
  sessions.find(tokens[0]);  // the oldest is in use; the second is idle longest
  sessions.open("admin", Role::Admin);
  EXPECT_EQ(Sessions::MAX_SESSIONS, sessions.size());
  EXPECT_NE(nullptr, sessions.find(tokens[0]));
  EXPECT_EQ(nullptr, sessions.find(tokens[1]));
}

TEST(SessionsTest, SecretsCompareWhole) {
  EXPECT_TRUE(sameSecret("abc", "abc"));
  EXPECT_FALSE(sameSecret("abc", "abd"));
  EXPECT_FALSE(sameSecret("abc", "ab"));
  EXPECT_FALSE(sameSecret("", ""));  // a missing token never matches
}

TEST(LoginThrottleTest, RepeatedFailuresLockAnAddressForLongerEachTime) {
  kv::ManualClock clock(TPS);
  LoginThrottle throttle(clock);
  const uint32_t expected[] = {0, 0, 0, 0, 30, 60, 120, 240, 480, 900, 900};
  for (uint32_t lock : expected) {
    throttle.failed("10.0.0.1");
    EXPECT_EQ(lock, throttle.lockedSeconds("10.0.0.1"));
  }
  EXPECT_EQ(0u, throttle.lockedSeconds("10.0.0.2"));
  clock.advance(899 * TPS);
  EXPECT_EQ(1u, throttle.lockedSeconds("10.0.0.1"));
  clock.advance(TPS);
  EXPECT_EQ(0u, throttle.lockedSeconds("10.0.0.1"));
  throttle.succeeded("10.0.0.1");
  throttle.failed("10.0.0.1");
  EXPECT_EQ(0u, throttle.lockedSeconds("10.0.0.1"));  // a success starts the count again
}

TEST(LoginThrottleTest, RemembersABoundedNumberOfAddresses) {
  kv::ManualClock clock(TPS);
  LoginThrottle throttle(clock);
  for (int i = 0; i < 5; ++i) throttle.failed("first");
  for (size_t i = 0; i < LoginThrottle::MAX_ADDRESSES; ++i) {
    clock.advance(1);
    throttle.failed("a" + std::to_string(i));
  }
  EXPECT_EQ(0u, throttle.lockedSeconds("first"));  // forgotten, the oldest
}

}  // namespace
}  // namespace mqttweb
