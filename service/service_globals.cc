#include "service/service_globals.h"

#include "platform/clock.h"

const uint32_t ticksPerSecond = kv::systemTicksPerSecond();
std::string defaultClientId MQTT_INIT_ORDER(1003) = "QX";
