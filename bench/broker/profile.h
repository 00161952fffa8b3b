// Instructions per message, counted by callgrind: the daemon runs under
// valgrind --tool=callgrind; its counters are zeroed just before a flood
// and dumped just after it, so start-up and idle turns stay out of the
// figure. Prints the total per message and the functions that take most
// of it (self cost, then inclusive cost).
#pragma once

#include <stdint.h>

#include <string>

#include "broker/daemon.h"
#include "support/mosquitto.h"

struct InstructionCounts {
  double inbound = 0, outbound = 0;  // per message
};

// Profiles `messages` inbound QoS 0 messages (mosquitto_pub -l to
// `inTopic`, which the daemon subscribes) and as many outbound QoS 0
// publish commands to `outTopic` (64 in flight), leaving the totals per
// message in `counts`. False when valgrind or a step fails.
bool profileWithCallgrind(const testsupport::Mosquitto& broker, const std::string& mqttd,
                          const std::string& inTopic, const std::string& outTopic,
                          uint32_t messages, PayloadFn payload, const std::string& linesFile,
                          InstructionCounts& counts);
