#include "tools/bus_client.h"

#include <memory>

namespace mqttctl {

CallResult Requester::call(const kv::message& request) {
  // Shared with the callback, so that nothing dangles even if an outcome
  // were to come after this call returned.
  auto outcome = std::make_shared<CallResult>();
  auto done = std::make_shared<bool>(false);
  start(request, [outcome, done](const CallResult& result) {
    *outcome = result;
    *done = true;
  });
  while (!*done) wait();
  return *outcome;
}

uint32_t millisToTicks(uint32_t millis, uint32_t ticksPerSecond) {
  uint64_t ticks = (uint64_t{millis} * ticksPerSecond + 999) / 1000;
  if (ticks == 0) return 1;
  return ticks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ticks);
}

BusClient::BusClient(kv::Looper& looper, uint32_t timeoutTicks, TurnFn turn)
    : looper_(looper), timeoutTicks_(timeoutTicks), turn_(std::move(turn)) {
  if (!turn_) turn_ = [this] { looper_.turn(-1); };
}

void BusClient::start(const kv::message& request, DoneFn done) {
  ++inFlight_;
  CallResult refused;
  if (!looper_.status().isOk()) {
    refused.problem = "cannot reach the bus: " + looper_.status().toString();
    unposted_.emplace_back(std::move(done), refused);
    return;
  }
  int id = looper_.postMessage(
      request,
      [this, done](const kv::message& reply) { finish(done, CallResult{true, reply, ""}); },
      timeoutTicks_);
  if (id < 0) {
    refused.problem = "the request cannot be posted (too large, or the bus connection is full)";
    unposted_.emplace_back(std::move(done), refused);
  }
}

void BusClient::finish(const DoneFn& done, const CallResult& result) {
  --inFlight_;
  ++finished_;
  done(result);
}

void BusClient::wait() {
  if (!unposted_.empty()) {
    std::pair<DoneFn, CallResult> first = std::move(unposted_.front());
    unposted_.pop_front();
    return finish(first.first, first.second);
  }
  const uint64_t before = finished_;
  while (inFlight_ > 0 && finished_ == before) turn_();
}

bool BusClient::pause(uint32_t millis) {
  bool due = false;
  kv::Timer timer(looper_.runner(), millisToTicks(millis, looper_.clock().ticksPerSecond()),
                  [&due] { due = true; });
  while (!due && !looper_.stopping()) turn_();
  return !looper_.stopping();
}

uint64_t BusClient::nowMillis() const {
  kv::Clock& clock = looper_.clock();
  return clock.now() * 1000 / clock.ticksPerSecond();
}

}  // namespace mqttctl
