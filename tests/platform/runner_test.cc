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

using Names = std::vector<std::string>;

class RunnerTest : public ::testing::Test {
 protected:
  ManualClock clock{100};
  ThinRunner runner{clock};
  Names ran;

  TimerFn note(const std::string& name) {
    return [this, name]() { ran.push_back(name); };
  }
  void after(Ticks ticks) {
    clock.advance(ticks);
    runner.turn(0);
  }
};

// Due tick first, then the order added; a timer added during a turn, even
// with delay 0, runs on the next turn and never in the current one.
TEST_F(RunnerTest, TimersRunByDueTickThenInTheOrderAdded) {
  runner.addTimer(20, note("b20"));
  runner.addTimer(10, note("a10"));
  runner.addTimer(20, note("c20"));
  runner.addTimer(10, [this]() {
    ran.push_back("d10");
    runner.addTimer(0, note("added-by-d10"));
  });
  after(15);
  EXPECT_EQ(ran, (Names{"a10", "d10"}));
  after(0);
  EXPECT_EQ(ran, (Names{"a10", "d10", "added-by-d10"}));
  after(5);
  EXPECT_EQ(ran, (Names{"a10", "d10", "added-by-d10", "b20", "c20"}));
  EXPECT_EQ(runner.timerCount(), 0u);
}

TEST_F(RunnerTest, CancellingFromInsideACallback) {
  TimerPtr victim, self;
  runner.addTimer(10, [&]() {
    ran.push_back("killer");
    runner.removeTimer(victim);
  });
  victim = runner.addTimer(10, note("victim"));
  self = runner.addTimer(10, [&]() {
    ran.push_back("self");
    runner.removeTimer(self);  // already running: a no-op
  });
  after(10);
  EXPECT_EQ(ran, (Names{"killer", "self"}));
  runner.removeTimer(victim);  // removing twice is harmless
  EXPECT_EQ(runner.timerCount(), 0u);
}

// Queued work runs once before the loop waits: at the end of the turn that
// queued it, or, queued between turns, at the start of the next one, so
// before virtual time moves on to the next timer; in the order queued; and,
// when no turn comes, as the runner goes.
TEST_F(RunnerTest, BeforeWaitRunsOnceAheadOfTheNextWaitOrAtTheEnd) {
  auto queue = [this](const std::string& name) {
    runner.runBeforeWait([this, name]() { ran.push_back(name + "@" + std::to_string(clock.now())); });
  };
  runner.addTimer(5, [&]() {
    ran.push_back("t5");
    queue("first");
    queue("second");
  });
  runner.addTimer(10, note("t10"));
  runner.turn(-1, true);  // idle: advances to 5, runs t5 and what it queued
  EXPECT_EQ(ran, (Names{"t5", "first@5", "second@5"}));
  runner.runBeforeWait([&]() {
    ran.push_back("third");
    queue("queued-while-running");
  });
  runner.turn(-1, true);  // runs "third" at 5, advances to 10, then the rest
  EXPECT_EQ(ran, (Names{"t5", "first@5", "second@5", "third", "t10", "queued-while-running@10"}));
  {
    ThinRunner short_lived(clock);
    short_lived.runBeforeWait(note("at-destruction"));
  }
  EXPECT_EQ(ran.back(), "at-destruction");
  runner.turn(0);
  EXPECT_EQ(ran.size(), 7u);  // each ran once
}

TEST_F(RunnerTest, OwnedTimerIsReplacedByMoveAssignAndCancelledByDestruction) {
  {
    Timer t(runner, 10, note("first"));
    t = Timer(runner, 20, note("second"));  // re-arm: the first never runs
    after(10);
    EXPECT_TRUE(ran.empty());
    EXPECT_TRUE(t.pending());
    after(10);
    EXPECT_EQ(ran, (Names{"second"}));
    EXPECT_FALSE(t.pending());
    t = Timer(runner, 5, note("third"));
  }
  Timer cleared(runner, 1, note("cleared"));
  cleared = Timer();
  after(5);
  EXPECT_EQ(ran, (Names{"second"}));
  EXPECT_EQ(runner.timerCount(), 0u);

  Timer survivor;  // outlives its runner: harmless
  {
    ThinRunner gone(clock);
    survivor = Timer(gone, 10, []() { FAIL() << "must not run"; });
  }
  EXPECT_FALSE(survivor.pending());
  survivor.cancel();
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
    if (b >= 0) close(b);
  }
};

// Events are poll(2)'s bits; a removal's callback runs on the next turn,
// when nothing can refer to the descriptor any more.
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
  ASSERT_TRUE(runner.changeSocket(a, POLLOUT));
  runner.turn(0);
  ASSERT_TRUE(runner.changeSocket(a, POLLIN));
  close(b);
  b = -1;
  runner.turn(0);
  ASSERT_EQ(events, (std::vector<int>{POLLIN, POLLOUT, POLLIN | POLLHUP}));

  std::vector<int> removed;
  runner.removeSocket(a, [&](int gone, int ev) { removed = {gone, ev}; });
  EXPECT_FALSE(runner.watches(a));
  EXPECT_TRUE(removed.empty());
  runner.turn(0);
  EXPECT_EQ(removed, (std::vector<int>{a, 0}));
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

TEST(LooperSignals, SigtermStopsTheLoop) {
  ManualClock clock;
  LooperOptions options;
  options.clock = &clock;
  options.catchSignals = true;
  Looper loop(options);
  ASSERT_TRUE(loop.status().isOk());
  loop.runner().addTimer(0, []() { raise(SIGTERM); });
  // A guard far in virtual time; reaching it means the signal was lost.
  loop.runner().addTimer(1000000, [&]() {
    ADD_FAILURE() << "the signal did not stop the loop";
    loop.stop();
  });
  loop.run();
  EXPECT_TRUE(loop.stopping());
}

// Summer time in a zone given by rule (no zone files needed), in 2040: past
// the 32-bit time_t limit, which the target build must not wrap at.
TEST(LooperTime, LocaltimeAfter2038FollowsTheZoneRules) {
  const char* saved = getenv("TZ");
  const std::string savedTz = saved ? saved : "";
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
  saved ? setenv("TZ", savedTz.c_str(), 1) : unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace kv
