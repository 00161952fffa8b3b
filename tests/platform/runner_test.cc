// Timers and sockets of the event loop, in virtual time.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/looper.h"
#include "platform/runner.h"

namespace kv {
namespace {

class RunnerTest : public ::testing::Test {
 protected:
  ManualClock clock{100};
  ThinRunner runner{clock};
  std::vector<std::string> ran;

  TimerFn note(const std::string& name) {
    return [this, name]() { ran.push_back(name); };
  }
};

TEST_F(RunnerTest, TimersRunByDueTickThenInTheOrderAdded) {
  runner.addTimer(20, note("b20"));
  runner.addTimer(10, note("a10"));
  runner.addTimer(20, note("c20"));
  runner.addTimer(10, note("d10"));
  clock.advance(15);
  runner.turn(0);
  EXPECT_EQ(ran, (std::vector<std::string>{"a10", "d10"}));
  clock.advance(5);
  runner.turn(0);
  EXPECT_EQ(ran, (std::vector<std::string>{"a10", "d10", "b20", "c20"}));
  EXPECT_EQ(runner.timerCount(), 0u);
}

TEST_F(RunnerTest, ZeroDelayRunsOnTheNextTurnNeverTheCurrentOne) {
  runner.addTimer(0, [this]() {
    ran.push_back("first");
    runner.addTimer(0, note("added-by-first"));
  });
  runner.turn(0);
  EXPECT_EQ(ran, (std::vector<std::string>{"first"}));
  runner.turn(0);
  EXPECT_EQ(ran, (std::vector<std::string>{"first", "added-by-first"}));
}

TEST_F(RunnerTest, ASelfReArmingTimerCannotStarveTheTurn) {
  int count = 0;
  std::function<void()> again = [&]() {
    ++count;
    runner.addTimer(0, again);
  };
  runner.addTimer(0, again);
  for (int i = 0; i < 5; ++i) runner.turn(0);
  EXPECT_EQ(count, 5);
}

TEST_F(RunnerTest, CancellingFromInsideACallback) {
  TimerPtr victim;
  runner.addTimer(10, [&]() {
    ran.push_back("killer");
    runner.removeTimer(victim);
  });
  victim = runner.addTimer(10, note("victim"));
  TimerPtr self;
  self = runner.addTimer(10, [&]() {
    ran.push_back("self");
    runner.removeTimer(self);  // already running: a no-op
  });
  clock.advance(10);
  runner.turn(0);
  EXPECT_EQ(ran, (std::vector<std::string>{"killer", "self"}));
  runner.removeTimer(victim);  // removing twice is harmless
  EXPECT_EQ(runner.timerCount(), 0u);
}

TEST_F(RunnerTest, OwnedTimerIsReplacedByMoveAssignAndCancelledByDestruction) {
  {
    Timer t(runner, 10, note("first"));
    EXPECT_TRUE(t.pending());
    t = Timer(runner, 20, note("second"));  // re-arm: the first never runs
    clock.advance(10);
    runner.turn(0);
    EXPECT_TRUE(ran.empty());
    clock.advance(10);
    runner.turn(0);
    EXPECT_EQ(ran, (std::vector<std::string>{"second"}));
    EXPECT_FALSE(t.pending());
    t = Timer(runner, 5, note("third"));
  }
  clock.advance(5);
  runner.turn(0);
  EXPECT_EQ(ran, (std::vector<std::string>{"second"}));
  Timer cleared(runner, 1, note("cleared"));
  cleared = Timer();
  clock.advance(1);
  runner.turn(0);
  EXPECT_EQ(runner.timerCount(), 0u);
  EXPECT_EQ(ran.size(), 1u);
}

TEST(RunnerLifetime, ATimerOutlivingItsRunnerIsHarmless) {
  ManualClock clock;
  Timer survivor;
  TimerPtr raw;
  {
    ThinRunner runner(clock);
    survivor = Timer(runner, 10, []() { FAIL() << "must not run"; });
    raw = runner.addTimer(10, []() {});
  }
  EXPECT_FALSE(survivor.pending());
  survivor.cancel();
  EXPECT_EQ(raw->owner, nullptr);
}

class SocketTest : public RunnerTest {
 protected:
  int a = -1, b = -1;
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    a = sv[0];
    b = sv[1];
  }
  void TearDown() override {
    close(a);
    close(b);
  }
};

TEST_F(SocketTest, ReadinessIsReportedWithPollBits) {
  std::vector<int> events;
  ASSERT_TRUE(runner.addSocket(a, POLLIN, [&](int fd, int ev) {
    EXPECT_EQ(fd, a);
    events.push_back(ev);
    char buf[8];
    while (read(fd, buf, sizeof buf) > 0) {
    }
  }));
  EXPECT_FALSE(runner.addSocket(a, POLLIN, nullptr));  // already watched
  runner.turn(0);
  EXPECT_TRUE(events.empty());
  ASSERT_EQ(write(b, "x", 1), 1);
  runner.turn(0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], 1);  // readable

  ASSERT_TRUE(runner.changeSocket(a, POLLOUT));
  runner.turn(0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1], 4);  // writable
  ASSERT_TRUE(runner.changeSocket(a, POLLIN));
  close(b);
  b = -1;
  runner.turn(0);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(events[2] & POLLHUP);
}

TEST_F(SocketTest, ASocketRemovedByAnEarlierCallbackGetsNoEvent) {
  int c[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, c), 0);
  std::vector<int> seen;
  // Both are readable in the same turn; whichever runs first removes the
  // other, which must then not be called.
  runner.addSocket(a, POLLIN, [&](int fd, int) {
    seen.push_back(fd);
    runner.removeSocket(c[0]);
  });
  runner.addSocket(c[0], POLLIN, [&](int fd, int) {
    seen.push_back(fd);
    runner.removeSocket(a);
  });
  ASSERT_EQ(write(b, "x", 1), 1);
  ASSERT_EQ(write(c[1], "x", 1), 1);
  runner.turn(0);
  EXPECT_EQ(seen.size(), 1u);
  close(c[0]);
  close(c[1]);
}

TEST_F(SocketTest, RemovalCallbackRunsOnTheNextTurn) {
  std::vector<int> removed;
  runner.addSocket(a, POLLIN, [&](int fd, int) {
    runner.removeSocket(fd, [&](int gone, int ev) {
      removed.push_back(gone);
      EXPECT_EQ(ev, 0);
    });
  });
  ASSERT_EQ(write(b, "x", 1), 1);
  runner.turn(0);
  EXPECT_TRUE(removed.empty());
  EXPECT_FALSE(runner.watches(a));
  runner.turn(0);
  EXPECT_EQ(removed, std::vector<int>{a});
}

TEST(LooperSignals, SigtermStopsTheLoop) {
  ManualClock clock;
  LooperOptions options;
  options.clock = &clock;
  options.catchSignals = true;
  Looper loop(options);
  ASSERT_TRUE(loop.status().isOk());
  bool stoppedByTimer = false;
  loop.runner().addTimer(0, []() { raise(SIGTERM); });
  // A guard far in virtual time; reaching it means the signal was lost.
  loop.runner().addTimer(1000000, [&]() {
    stoppedByTimer = true;
    loop.stop();
  });
  loop.run();
  EXPECT_FALSE(stoppedByTimer);
  EXPECT_TRUE(loop.stopping());
}

// Summer time in a zone given by rule (no zone files needed), in 2040: past
// the 32-bit time_t limit, which the target build must not wrap at.
TEST(LooperTime, LocaltimeAfter2038FollowsTheZoneRules) {
  const char* saved = getenv("TZ");
  std::string savedTz = saved ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  const int64_t july2040 = 2224764000;  // 2040-07-01 12:00 UTC
  ManualClock clock(100, july2040);
  LooperOptions options;
  options.clock = &clock;
  {
    Looper loop(options);
    EXPECT_EQ(loop.getLocaltime(), static_cast<uint32_t>(july2040 + 2 * 3600));
    clock.advance(100 * 60);  // it follows the loop's clock
    EXPECT_EQ(loop.getLocaltime(), static_cast<uint32_t>(july2040 + 2 * 3600 + 60));
  }
  if (saved) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace kv
