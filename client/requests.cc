// BrokerClient: packet identifiers and the requests that wait for the
// broker's acknowledgement.
//
// A waiting request is answered exactly once: success when its
// acknowledgement arrives (PUBACK, PUBCOMP, SUBACK, UNSUBACK), "Timeout
// occured" after 3 seconds, "Connection failed" at a teardown, or
// "Disconnecting" at a requested disconnect. Whichever comes first removes
// it: a late acknowledgement finds nothing and has no after-effect, so a
// command answered with a failure never takes effect afterwards.
#include "base/log.h"
#include "client/broker_client.h"
#include "platform/looper.h"
#include "platform/system.h"

uint16_t BrokerClient::peekPacketId() const {
  const uint16_t next = static_cast<uint16_t>(nextPacketId_ + 1);
  return next == 0 ? 1 : next;
}

uint16_t BrokerClient::takePacketId() {
  nextPacketId_ = peekPacketId();
  return nextPacketId_;
}

bool BrokerClient::registerRequest(uint16_t id, const kv::message& command, Completion completion) {
  if (pending_.count(id)) {
    logError("Timeout reg failed: " + std::to_string(id));
    return false;
  }
  PendingRequest& request = pending_[id];
  request.command = command;
  request.completion = std::move(completion);
  request.serial = nextSerial_++;
  const uint64_t serial = request.serial;
  // The expiry only schedules the time-out handling for the next loop turn,
  // so the runner's timers are not changed from inside its own callback.
  request.timer = kv::getRunner().addTimer(seconds(REQUEST_TIMEOUT_SECONDS), [this, id, serial] {
    defer(0, [this, id, serial] { onRequestTimeout(id, serial); });
  });
  return true;
}

void BrokerClient::completeRequest(uint16_t id) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;  // unknown, 0, or already answered
  PendingRequest request = std::move(it->second);
  pending_.erase(it);
  kv::getRunner().removeTimer(request.timer);
  answer(request.command, kv::message());
  if (request.completion) request.completion();
}

void BrokerClient::onRequestTimeout(uint16_t id, uint64_t serial) {
  auto it = pending_.find(id);
  if (it == pending_.end() || it->second.serial != serial) return;
  const kv::message command = std::move(it->second.command);
  pending_.erase(it);
  answer(command, kv::failedMsg("Timeout occured"));
  if (state_ != ConnectionState::Connected) connectionFailed(false);
}

void BrokerClient::failAllRequests(const std::string& text) {
  std::map<uint16_t, PendingRequest> failed;
  failed.swap(pending_);
  for (auto& entry : failed) kv::getRunner().removeTimer(entry.second.timer);
  const kv::message reply = kv::failedMsg(text);
  for (auto& entry : failed) answer(entry.second.command, reply);
}
