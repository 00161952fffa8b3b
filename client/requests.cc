// BrokerClient: packet identifiers and the requests that wait for the
// broker's acknowledgement.
//
// A waiting request is completed exactly once: success when its
// acknowledgement arrives (PUBACK, PUBCOMP, SUBACK, UNSUBACK), "Timeout
// occured" after 3 seconds, "Connection failed" at a teardown, or
// "Disconnecting" at a requested disconnect. Whichever comes first removes
// it: a late acknowledgement finds nothing and has no after-effect, so an
// order that failed never takes effect afterwards. A SUBACK that refuses
// completes its request with that failure. The outbox's messages wait
// without the time-out (outbox_delivery.cc).
#include "base/log.h"
#include "client/broker_client.h"

uint16_t BrokerClient::peekPacketId() const {
  const uint16_t next = static_cast<uint16_t>(nextPacketId_ + 1);
  return next == 0 ? 1 : next;
}

uint16_t BrokerClient::takePacketId() {
  nextPacketId_ = peekPacketId();
  return nextPacketId_;
}

uint16_t BrokerClient::takeFreePacketId() {
  for (uint32_t tries = 0; tries < 65535; ++tries) {
    const uint16_t id = takePacketId();
    if (!pending_.count(id)) return id;
  }
  return 0;
}

bool BrokerClient::identifierFree(uint16_t id) {
  if (pending_.count(id) == 0) return true;
  logBrokerError(*broker_, "Timeout reg failed: " + std::to_string(id));
  return false;
}

PendingRequest& BrokerClient::registerRequest(uint16_t id, Completion done,
                                              std::function<void()> onSuccess, bool timed) {
  PendingRequest& request = pending_[id];
  request.done = std::move(done);
  request.onSuccess = std::move(onSuccess);
  request.serial = nextSerial_++;
  if (!timed) return request;
  const uint64_t serial = request.serial;
  request.timer = loop_.runner().addTimer(seconds(REQUEST_TIMEOUT_SECONDS),
                                          [this, id, serial] { onRequestTimeout(id, serial); });
  return request;
}

void BrokerClient::completeRequest(uint16_t id, const kv::Status& outcome) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return;  // unknown, 0, or already answered
  PendingRequest request = std::move(it->second);
  pending_.erase(it);
  loop_.runner().removeTimer(request.timer);
  request.done(outcome);
  if (outcome.isOk() && request.onSuccess) request.onSuccess();
}

void BrokerClient::onRequestTimeout(uint16_t id, uint64_t serial) {
  auto it = pending_.find(id);
  if (it == pending_.end() || it->second.serial != serial) return;
  const Completion done = std::move(it->second.done);
  pending_.erase(it);
  done(kv::Status::timeout("Timeout occured"));
  if (state_ != ConnectionState::Connected) {
    teardown(kv::Status::timeout(strprintf(
        "no acknowledgement within %u s before the connection was up; closing the connection",
        REQUEST_TIMEOUT_SECONDS)));
  }
}

void BrokerClient::failAllRequests(const kv::Status& why, uint16_t except) {
  std::map<uint16_t, PendingRequest> failed;
  failed.swap(pending_);
  auto kept = failed.find(except);
  if (kept != failed.end()) pending_.insert(failed.extract(kept));
  for (auto& entry : failed) loop_.runner().removeTimer(entry.second.timer);
  for (auto& entry : failed) entry.second.done(why);
}
