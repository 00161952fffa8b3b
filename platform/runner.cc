#include "platform/runner.h"

#include <errno.h>
#include <poll.h>

#include <limits>

#include "platform/looper.h"

namespace kv {

ThinRunner::ThinRunner(Clock& clock) : clock_(clock) {}

ThinRunner::~ThinRunner() {
  runQueuedBeforeWait();
  for (auto& entry : timers_) {
    entry.second->owner = nullptr;
    entry.second->fn = nullptr;
  }
}

TimerPtr ThinRunner::addTimer(Ticks delayTicks, TimerFn fn) {
  auto timer = std::make_shared<TimerRecord>();
  timer->due = clock_.now() + delayTicks;
  timer->seq = nextSeq_++;
  timer->fn = std::move(fn);
  timer->owner = this;
  timers_.emplace(TimerKey(timer->due, timer->seq), timer);
  return timer;
}

void ThinRunner::removeTimer(const TimerPtr& timer) {
  if (!timer || timer->owner != this) return;
  timers_.erase(TimerKey(timer->due, timer->seq));
  timer->owner = nullptr;
  timer->fn = nullptr;
}

bool ThinRunner::addSocket(int fd, int events, SocketFn fn) {
  if (fd < 0 || sockets_.count(fd)) return false;
  sockets_[fd] = std::make_shared<SocketRec>(SocketRec{events, nextGeneration_++, std::move(fn)});
  return true;
}

bool ThinRunner::changeSocket(int fd, int events) {
  auto it = sockets_.find(fd);
  if (it == sockets_.end()) return false;
  it->second->events = events;
  return true;
}

void ThinRunner::removeSocket(int fd, SocketFn onRemoved) {
  sockets_.erase(fd);
  if (onRemoved) {
    addTimer(0, [fd, onRemoved]() { onRemoved(fd, 0); });
  }
}

void ThinRunner::runBeforeWait(TimerFn fn) {
  if (fn) beforeWait_.push_back(std::move(fn));
}

void ThinRunner::runQueuedBeforeWait() {
  std::vector<TimerFn> queued;
  queued.swap(beforeWait_);
  for (TimerFn& fn : queued) fn();
}

bool ThinRunner::watches(int fd) const { return sockets_.count(fd) != 0; }

bool ThinRunner::nextDue(Ticks& due) const {
  if (timers_.empty()) return false;
  due = timers_.begin()->first.first;
  return true;
}

int ThinRunner::pollTimeoutMs(int maxWaitMs) const {
  if (clock_.isManual()) return 0;
  Ticks due = 0;
  if (!nextDue(due)) return maxWaitMs;
  Ticks now = clock_.now();
  if (due <= now) return 0;
  uint64_t ms = ((due - now) * 1000 + clock_.ticksPerSecond() - 1) / clock_.ticksPerSecond();
  if (ms > static_cast<uint64_t>(std::numeric_limits<int>::max())) ms = std::numeric_limits<int>::max();
  int wait = static_cast<int>(ms);
  return (maxWaitMs >= 0 && maxWaitMs < wait) ? maxWaitMs : wait;
}

void ThinRunner::turn(int maxWaitMs, bool advanceIdle) {
  const uint64_t turnSeq = nextSeq_;
  runQueuedBeforeWait();
  bool anyReady = pollAndDispatch(pollTimeoutMs(maxWaitMs));
  Ticks due = 0;
  if (advanceIdle && clock_.isManual() && !anyReady && nextDue(due) && due > clock_.now()) {
    static_cast<ManualClock&>(clock_).advanceTo(due);
  }
  runDueTimers(turnSeq);
  runQueuedBeforeWait();
}

bool ThinRunner::pollAndDispatch(int timeoutMs) {
  std::vector<pollfd> fds;
  std::vector<uint64_t> generations;
  fds.reserve(sockets_.size());
  for (const auto& entry : sockets_) {
    if (entry.second->events == 0) continue;
    fds.push_back(pollfd{entry.first, static_cast<short>(entry.second->events), 0});
    generations.push_back(entry.second->generation);
  }
  if (fds.empty() && timeoutMs == 0) return false;
  int n = poll(fds.data(), fds.size(), timeoutMs);
  const uint64_t epoch = ++pollEpoch_;
  if (n <= 0) return false;
  for (size_t i = 0; i < fds.size(); ++i) {
    // A nested turn (a callback that waits for a reply) polled again: what
    // this poll saw may be stale, and the sockets are level-triggered, so
    // anything still ready is reported on the next turn.
    if (pollEpoch_ != epoch) break;
    if (fds[i].revents == 0) continue;
    auto it = sockets_.find(fds[i].fd);
    if (it == sockets_.end() || it->second->generation != generations[i]) continue;
    std::shared_ptr<SocketRec> rec = it->second;  // alive while it runs
    rec->fn(fds[i].fd, fds[i].revents);
  }
  return true;
}

void ThinRunner::runDueTimers(uint64_t turnSeq) {
  const Ticks now = clock_.now();
  std::vector<TimerKey> due;
  for (const auto& entry : timers_) {
    if (entry.first.first > now) break;
    if (entry.first.second < turnSeq) due.push_back(entry.first);
  }
  for (const TimerKey& key : due) {
    auto it = timers_.find(key);
    if (it == timers_.end()) continue;  // removed by an earlier callback
    TimerPtr timer = it->second;
    timers_.erase(it);
    timer->owner = nullptr;
    TimerFn fn = std::move(timer->fn);
    timer->fn = nullptr;
    if (fn) fn();
  }
}

// ---- Timer -------------------------------------------------------------------

Timer::Timer(Ticks delayTicks, TimerFn fn) : Timer(getRunner(), delayTicks, std::move(fn)) {}

Timer::Timer(ThinRunner& runner, Ticks delayTicks, TimerFn fn)
    : timer_(runner.addTimer(delayTicks, std::move(fn))) {}

Timer::Timer(Timer&& other) noexcept : timer_(std::move(other.timer_)) {}

Timer& Timer::operator=(Timer&& other) noexcept {
  if (this != &other) {
    cancel();
    timer_ = std::move(other.timer_);
  }
  return *this;
}

Timer::~Timer() { cancel(); }

void Timer::cancel() {
  if (timer_ && timer_->owner) timer_->owner->removeTimer(timer_);
  timer_.reset();
}

bool Timer::pending() const { return timer_ && timer_->owner != nullptr; }

}  // namespace kv
