// ReconnectBackoff: the delay before each automatic connection attempt of
// one broker client. The base delay doubles with every consecutive attempt
// that fails, up to a ceiling, and each delay is the base scaled by a
// random factor, so that many clients that lost the same broker at the
// same moment neither come back in lock-step nor keep retrying in step.
//
//   delays handed out since the last reset()   base    delay
//   0 (after creation, or a lost connection)   10 s    base x U[0.8, 1.2]
//   1                                          20 s    base x U[0.8, 1.2]
//   2                                          40 s    ...
//   3                                          80 s
//   4 and more                                120 s
//
// reset() (the broker accepted a connection: CONNACK) returns the base to
// 10 s. The unit keeps no timer and reads no clock: its owner arms the
// timer with the delay it hands out. The random factor is drawn in whole
// ticks, uniformly from [0.8 x base, 1.2 x base], both included.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "platform/random.h"

class ReconnectBackoff {
 public:
  static constexpr uint32_t FIRST_BASE_SECONDS = 10;
  static constexpr uint32_t MAX_BASE_SECONDS = 120;
  // The random factor's bounds, in per cent of the base.
  static constexpr uint32_t LEAST_PERCENT = 80;
  static constexpr uint32_t MOST_PERCENT = 120;

  // The delay before the next attempt, in ticks of `ticksPerSecond`; the
  // base then doubles (up to MAX_BASE_SECONDS) for the attempt after it.
  kv::Ticks nextDelayTicks(kv::Random& random, uint32_t ticksPerSecond);
  // A connection was accepted: the next delay is on the first base again.
  void reset() { baseSeconds_ = FIRST_BASE_SECONDS; }
  // The base of the next delay.
  uint32_t baseSeconds() const { return baseSeconds_; }

 private:
  uint32_t baseSeconds_ = FIRST_BASE_SECONDS;
};
