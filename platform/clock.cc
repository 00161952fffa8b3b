#include "platform/clock.h"

#include <time.h>
#include <unistd.h>

namespace kv {

uint32_t systemTicksPerSecond() {
  long tps = sysconf(_SC_CLK_TCK);
  return tps > 0 ? static_cast<uint32_t>(tps) : 100;
}

SystemClock::SystemClock() : tps_(systemTicksPerSecond()) {}

Ticks SystemClock::now() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Whole seconds first, then the fraction, so the product cannot overflow.
  return static_cast<Ticks>(ts.tv_sec) * tps_ +
         static_cast<Ticks>(ts.tv_nsec) * tps_ / 1000000000u;
}

int64_t SystemClock::wallSeconds() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec);
}

}  // namespace kv
