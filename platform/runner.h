// kv::ThinRunner: timers and socket readiness for the one event-loop thread.
//
// A loop turn does, in order:
//   0. run the callbacks queued with runBeforeWait;
//   1. poll(2) the watched sockets, waiting at most until the next timer is
//      due (not at all when a timer is already due or a zero-delay timer is
//      pending, or when the clock is manual);
//   2. call the socket callbacks for the descriptors that are ready;
//   3. run the timers that are due, in (due tick, order added) order.
// Only timers that existed when the turn started run in it: a timer added
// during a turn, even with delay 0, runs in a later turn. So a zero-delay
// timer means "on the next loop turn", and a timer that re-arms itself with
// delay 0 cannot starve the sockets.
//
// Adding and removing timers and sockets from inside any callback is safe:
// removal takes effect at once (a removed timer never runs, a removed
// socket's pending event is not delivered), and the runner keeps a callback
// alive while it runs even if the callback removes itself.
//
// Event bits are poll(2)'s: 1 readable (POLLIN), 4 writable (POLLOUT),
// 8 error (POLLERR), 16 hang-up (POLLHUP), 32 invalid descriptor (POLLNVAL).
// The runner does not own descriptors: it never closes one.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace kv {

class ThinRunner;

using TimerFn = std::function<void()>;
using SocketFn = std::function<void(int fd, int events)>;

// One scheduled timer. Held by the runner until it runs or is removed, and
// by whoever keeps the TimerPtr that addTimer returned.
struct TimerRecord {
  Ticks due = 0;
  uint64_t seq = 0;
  TimerFn fn;
  ThinRunner* owner = nullptr;  // null once the timer has run or was removed
};
using TimerPtr = std::shared_ptr<TimerRecord>;

class ThinRunner {
 public:
  explicit ThinRunner(Clock& clock);
  // Pending timers are dropped without running; their TimerPtrs stay valid.
  ~ThinRunner();
  ThinRunner(const ThinRunner&) = delete;
  ThinRunner& operator=(const ThinRunner&) = delete;

  // Runs fn once, `delayTicks` ticks from now (0: on the next loop turn).
  TimerPtr addTimer(Ticks delayTicks, TimerFn fn);
  // Cancels a timer that has not run yet; anything else is a no-op.
  void removeTimer(const TimerPtr& timer);

  // Runs fn exactly once, before the loop next waits: at the start of the
  // next turn, ahead of its poll(2), or when the runner is destroyed,
  // whichever comes first. For work gathered during a turn and done once
  // for all of it (the service writes its console lines so). Callbacks run
  // in the order queued; one queued while they run waits for the next turn.
  void runBeforeWait(TimerFn fn);

  // Watches fd for `events`; fn(fd, revents) is called on readiness. Returns
  // false when fd is negative or already watched.
  bool addSocket(int fd, int events, SocketFn fn);
  // Changes the interest mask of a watched fd; false when fd is not watched.
  bool changeSocket(int fd, int events);
  // Stops watching fd. When `onRemoved` is given it is called as (fd, 0) on
  // the next loop turn, when no callback of the runner can still refer to
  // the descriptor: a safe place to close it.
  void removeSocket(int fd, SocketFn onRemoved = nullptr);
  bool watches(int fd) const;

  // One loop turn. `maxWaitMs` bounds the wait in poll(2) (-1: until the next
  // timer). With a manual clock the runner never waits; when `advanceIdle`
  // is set and nothing was ready, the manual clock is moved to the next due
  // timer so that a blocking wait in virtual time makes progress.
  void turn(int maxWaitMs, bool advanceIdle = false);

  Clock& clock() const { return clock_; }
  Ticks now() const { return clock_.now(); }
  size_t timerCount() const { return timers_.size(); }
  size_t socketCount() const { return sockets_.size(); }
  // Due tick of the earliest pending timer; false when there is none.
  bool nextDue(Ticks& due) const;

 private:
  struct SocketRec {
    int events;
    uint64_t generation;
    SocketFn fn;
  };
  using TimerKey = std::pair<Ticks, uint64_t>;

  int pollTimeoutMs(int maxWaitMs) const;
  bool pollAndDispatch(int timeoutMs);
  void runDueTimers(uint64_t turnSeq);
  void runQueuedBeforeWait();

  Clock& clock_;
  uint64_t nextSeq_ = 1;
  uint64_t nextGeneration_ = 1;
  uint64_t pollEpoch_ = 0;  // bumped by every poll; stale results are dropped
  std::map<TimerKey, TimerPtr> timers_;
  std::map<int, std::shared_ptr<SocketRec>> sockets_;
  std::vector<TimerFn> beforeWait_;
};

// An owned, cancel-on-destroy timer: the RAII form of addTimer.
//
//   kv::Timer t(delay, fn);   // armed on kv::getRunner()
//   t = kv::Timer(other, fn); // the old expiry is cancelled, the new one armed
//   t = kv::Timer();          // cancelled
// Destroying a Timer cancels it; so does destroying its runner first (the
// Timer then does nothing when it goes).
class Timer {
 public:
  Timer() = default;
  Timer(Ticks delayTicks, TimerFn fn);
  Timer(ThinRunner& runner, Ticks delayTicks, TimerFn fn);
  Timer(Timer&& other) noexcept;
  Timer& operator=(Timer&& other) noexcept;
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer();

  void cancel();
  // True while the timer is armed and has not run.
  bool pending() const;
  // When it runs, in the runner's ticks; 0 when it is not pending.
  Ticks due() const { return pending() ? timer_->due : 0; }

 private:
  TimerPtr timer_;
};

}  // namespace kv
