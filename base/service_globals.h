// Service-wide values, and the order in which every service-wide object is
// built.
//
// Every service-wide object has static storage duration and is constructed,
// across the layers that define them, in this order (GCC's init_priority
// makes the order explicit; destruction runs in reverse):
//   1. the system-log stream slots (base/log.h)           priority 1001
//   2. ticksPerSecond                                     priority 1002
//   3. defaultClientId                                  priority 1003
//   4. the broker table                                 priority 1004
//   5. the subscription and received-message tables     priority 1005
// The broker clients are not among them: start-up owns them, and they go
// when it returns, before any of these.
#pragma once

#include <cstdint>
#include <string>

#define MQTT_INIT_ORDER(n) __attribute__((init_priority(n)))

// sysconf(_SC_CLK_TCK): clock ticks per second, the unit of every delay.
// A class only so that its construction can be ordered; it reads as a
// number.
class TicksPerSecond {
 public:
  TicksPerSecond();
  operator uint32_t() const { return value_; }

 private:
  uint32_t value_;
};
extern const TicksPerSecond ticksPerSecond;

// The client identifier of brokers that have none of their own: "QX" until
// the start-up task appends the value the platform supplies.
extern std::string defaultClientId;
