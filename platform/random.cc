#include "platform/random.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

namespace kv {
namespace {

// splitmix64's output step: a bijection that spreads every input bit.
uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

uint64_t clockNs(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

uint64_t Random::processSeed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) {
    return seed;
  }
  // Devices booted together may share the clocks and the process id; the
  // stack's address under address-space randomisation still differs.
  const uint64_t stack = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&seed));
  return mix(clockNs(CLOCK_REALTIME)) ^ mix(clockNs(CLOCK_MONOTONIC) + stack) ^
         mix(static_cast<uint64_t>(getpid()) << 32);
}

uint64_t Random::next() {
  state_ += 0x9E3779B97F4A7C15u;
  return mix(state_);
}

uint64_t Random::between(uint64_t low, uint64_t high) {
  const uint64_t span = high - low + 1;  // 0: the whole 64-bit range
  if (span == 0) return next();
  // Draws below `threshold` would favour the small remainders: 2^64 mod
  // span of them are thrown away.
  const uint64_t threshold = (0 - span) % span;
  uint64_t draw;
  do {
    draw = next();
  } while (draw < threshold);
  return low + draw % span;
}

}  // namespace kv
