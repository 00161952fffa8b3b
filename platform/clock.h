// The event loop's sense of time.
//
// Every delay in the system is counted in clock ticks: sysconf(_SC_CLK_TCK)
// ticks per second (100 on Linux). The loop reads time only through a Clock,
// so tests substitute a ManualClock and move time by hand: nothing sleeps.
#pragma once

#include <cstdint>

namespace kv {

using Ticks = uint64_t;

// sysconf(_SC_CLK_TCK), or 100 when the system does not say.
uint32_t systemTicksPerSecond();

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time in ticks; never goes back.
  virtual Ticks now() const = 0;
  // Wall-clock time: seconds since 1970-01-01 00:00 UTC.
  virtual int64_t wallSeconds() const = 0;
  virtual uint32_t ticksPerSecond() const = 0;
  // True for a clock that moves only when told to (tests).
  virtual bool isManual() const { return false; }
};

// CLOCK_MONOTONIC and CLOCK_REALTIME, in ticks and seconds.
class SystemClock : public Clock {
 public:
  SystemClock();
  Ticks now() const override;
  int64_t wallSeconds() const override;
  uint32_t ticksPerSecond() const override { return tps_; }

 private:
  uint32_t tps_;
};

// A clock for tests: starts at tick 0 (and the given wall time) and moves
// only through advance() or advanceTo(). The event loop also moves it, in
// a blocking turn with nothing else to do, to the next timer that is due.
class ManualClock : public Clock {
 public:
  explicit ManualClock(uint32_t ticksPerSecond = 100, int64_t wallStart = 1700000000)
      : tps_(ticksPerSecond), wallStart_(wallStart) {}
  Ticks now() const override { return now_; }
  int64_t wallSeconds() const override {
    return wallStart_ + static_cast<int64_t>(now_ / tps_);
  }
  uint32_t ticksPerSecond() const override { return tps_; }
  bool isManual() const override { return true; }

  void advance(Ticks delta) { now_ += delta; }
  void advanceTo(Ticks t) {
    if (t > now_) now_ = t;
  }

 private:
  uint32_t tps_;
  int64_t wallStart_;
  Ticks now_ = 0;
};

}  // namespace kv
