// kv::Random: a source of random numbers for spreading work out in time
// (the jitter of retry delays, say). Not for secrets: the numbers are
// predictable from the seed.
//
// Each process has one, owned by its event loop (Looper::random()) and
// seeded once per process, so that a fleet of devices that lose the same
// server at the same moment draws different numbers. A test gives the loop
// a fixed seed (LooperOptions::randomSeed) and gets the same numbers on
// every run, so timers that depend on them stay exact in virtual time.
//
// The generator is splitmix64: 64 bits of state, integer arithmetic only,
// so a seed gives the same sequence on every target and word size (no
// floating point, no library distribution whose algorithm may change).
#pragma once

#include <cstdint>

namespace kv {

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  // A seed of this process's own: getrandom(2) without waiting for the
  // kernel's pool; should that fail (very early in boot), the clocks, the
  // process id and an address that varies with address-space
  // randomisation, mixed.
  static uint64_t processSeed();

  // The next 64 random bits.
  uint64_t next();
  // A number drawn uniformly from [low, high], both included, without the
  // bias of a plain modulo. REQUIRES: low <= high.
  uint64_t between(uint64_t low, uint64_t high);

 private:
  uint64_t state_;
};

}  // namespace kv
