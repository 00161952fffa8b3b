// The daemon's command handler (handler 1) as the verbs reach it. Fields
// of each command: mqtt_verbs.cc and docs/console.md.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/message.h"
#include "platform/status.h"
#include "tools/verbs.h"

namespace mqttctl {

constexpr uint32_t MQTT_SERVICE = 1;
constexpr uint32_t CMD_PUBLISH = 1;
constexpr uint32_t CMD_CONNECT = 2;
constexpr uint32_t CMD_DISCONNECT = 3;
constexpr uint32_t CMD_SUBSCRIBE = 4;
constexpr uint32_t CMD_CLEAR_RECEIVED = 5;
constexpr uint32_t CMD_UNSUBSCRIBE = 6;

// Largest message publish sends (the argument, -f FILE, one line of -l):
// the daemon's own limit, so a larger one is refused before it is sent.
constexpr size_t MAX_PAYLOAD_BYTES = 2 * 1024 * 1024;

// A request for `command` of the command handler.
kv::message daemonRequest(uint32_t command);

// clear (and received clear): the daemon forgets every recorded message.
kv::Status prepareClear(const VerbArgs& args, Action& action);

}  // namespace mqttctl
