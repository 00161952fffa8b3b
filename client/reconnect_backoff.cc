#include "client/reconnect_backoff.h"

#include <algorithm>

kv::Ticks ReconnectBackoff::nextDelayTicks(kv::Random& random, uint32_t ticksPerSecond) {
  const kv::Ticks base = kv::Ticks{baseSeconds_} * ticksPerSecond;
  const kv::Ticks delay = random.between(base * LEAST_PERCENT / 100, base * MOST_PERCENT / 100);
  baseSeconds_ = std::min(baseSeconds_ * 2, MAX_BASE_SECONDS);
  return delay;
}
