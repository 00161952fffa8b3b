#include "tools/bus_client.h"

#include <memory>

namespace mqttctl {

uint32_t millisToTicks(uint32_t millis, uint32_t ticksPerSecond) {
  uint64_t ticks = (uint64_t{millis} * ticksPerSecond + 999) / 1000;
  if (ticks == 0) return 1;
  return ticks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ticks);
}

BusClient::BusClient(kv::Looper& looper, uint32_t timeoutTicks, TurnFn turn)
    : looper_(looper), timeoutTicks_(timeoutTicks), turn_(std::move(turn)) {
  if (!turn_) turn_ = [this] { looper_.turn(-1); };
}

CallResult BusClient::call(const kv::message& request) {
  CallResult result;
  if (!looper_.status().isOk()) {
    result.problem = "cannot reach the bus: " + looper_.status().toString();
    return result;
  }
  // Shared with the callback, so that nothing dangles even if the platform
  // were to run it after this call returned.
  auto outcome = std::make_shared<CallResult>();
  int id = looper_.postMessage(
      request,
      [outcome](const kv::message& reply) {
        outcome->reply = reply;
        outcome->delivered = true;
      },
      timeoutTicks_);
  if (id < 0) {
    result.problem = "the request cannot be posted (too large, or the bus connection is full)";
    return result;
  }
  while (!outcome->delivered) turn_();
  return *outcome;
}

}  // namespace mqttctl
