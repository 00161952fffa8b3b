// The daemon's command handler (handler 1, contracts/mqtt_service.h) as the
// verbs reach it; docs/console.md has the verbs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "contracts/mqtt_service.h"
#include "platform/message.h"
#include "platform/status.h"
#include "tools/verbs.h"

namespace mqttctl {

// Largest message publish sends (the argument, -f FILE, one line of -l):
// the daemon's own limit, so a larger one is refused before it is sent.
constexpr size_t MAX_PAYLOAD_BYTES = contract::mqtt_service::MAX_DATA_BYTES;

// clear (and received clear): the daemon forgets every recorded message.
kv::Status prepareClear(const VerbArgs& args, Action& action);

}  // namespace mqttctl
