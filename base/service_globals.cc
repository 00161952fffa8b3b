#include "base/service_globals.h"

#include "platform/clock.h"

TicksPerSecond::TicksPerSecond() : value_(kv::systemTicksPerSecond()) {}

const TicksPerSecond ticksPerSecond MQTT_INIT_ORDER(1002);
std::string defaultClientId MQTT_INIT_ORDER(1003) = "QX";
