// Timers and sockets of the event loop, in virtual time.
#include <gtest/gtest.h>
#include <poll.h>
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
// with delay 0, runs on the next turn and never in the current one. A
// timer removed by an earlier callback of the same turn does not run.
TEST_F(RunnerTest, TimersRunByDueTickThenInTheOrderAdded) {
  TimerPtr victim, self;
  runner.addTimer(20, note("b20"));
  runner.addTimer(10, note("a10"));
  runner.addTimer(20, note("c20"));
  runner.addTimer(10, [&]() {
    ran.push_back("d10");
    runner.addTimer(0, note("added-by-d10"));
    runner.removeTimer(victim);
  });
  victim = runner.addTimer(10, note("victim"));
  self = runner.addTimer(10, [&]() {
    ran.push_back("self");
    runner.removeTimer(self);  // already running: a no-op
  });
  after(15);
  EXPECT_EQ(ran, (Names{"a10", "d10", "self"}));
  after(0);
  EXPECT_EQ(ran.back(), "added-by-d10");
  after(5);
  EXPECT_EQ(ran, (Names{"a10", "d10", "self", "added-by-d10", "b20", "c20"}));
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
    ThinRunner shortLived(clock);
    shortLived.runBeforeWait(note("at-destruction"));
  }
  runner.turn(0);
  EXPECT_EQ(ran.size(), 7u);  // each ran once
  EXPECT_EQ(ran.back(), "at-destruction");
}

TEST_F(RunnerTest, OwnedTimerIsReplacedByMoveAssignAndCancelledByDestruction) {
  {
    Timer t(runner, 10, note("first"));
    t = Timer(runner, 20, note("second"));  // re-arm: the first never runs
    after(10);
    EXPECT_TRUE(t.pending());
    after(10);
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

// Events are poll(2)'s bits; a socket removed by an earlier callback of the
// same turn gets no event; a removal's callback runs on the next turn, when
// nothing can refer to the descriptor any more.
TEST_F(RunnerTest, SocketReadinessIsReportedWithPollBits) {
  int a[2], c[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, a), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, c), 0);
  std::vector<int> events;
  ASSERT_TRUE(runner.addSocket(a[0], POLLIN, [&](int fd, int ev) {
    EXPECT_EQ(fd, a[0]);
    events.push_back(ev);
    char buf[8];
    while (read(fd, buf, sizeof buf) > 0) {
    }
  }));
  EXPECT_FALSE(runner.addSocket(a[0], POLLIN, nullptr));  // already watched
  runner.turn(0);
  EXPECT_TRUE(events.empty());
  ASSERT_EQ(write(a[1], "x", 1), 1);
  runner.turn(0);
  ASSERT_TRUE(runner.changeSocket(a[0], POLLOUT));
  runner.turn(0);
  ASSERT_TRUE(runner.changeSocket(a[0], POLLIN));
  close(a[1]);
  runner.turn(0);
  ASSERT_EQ(events, (std::vector<int>{POLLIN, POLLOUT, POLLIN | POLLHUP}));

  std::vector<int> removed;
  runner.removeSocket(a[0], [&](int gone, int ev) { removed = {gone, ev}; });
  EXPECT_FALSE(runner.watches(a[0]));
  EXPECT_TRUE(removed.empty());
  runner.turn(0);
  EXPECT_EQ(removed, (std::vector<int>{a[0], 0}));

  // Both readable in the same turn: whichever runs first removes the other.
  std::vector<int> seen;
  runner.addSocket(a[0], POLLIN, [&](int fd, int) { seen.push_back(fd); runner.removeSocket(c[0]); });
  runner.addSocket(c[0], POLLIN, [&](int fd, int) { seen.push_back(fd); runner.removeSocket(a[0]); });
  ASSERT_EQ(write(c[1], "x", 1), 1);
  runner.turn(0);  // a[0] is readable too: its far end is closed
  EXPECT_EQ(seen.size(), 1u);
  for (int fd : {a[0], c[0], c[1]}) close(fd);
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
