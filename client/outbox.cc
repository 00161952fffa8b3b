#include "client/outbox.h"

#include <utility>

kv::Status Outbox::add(std::string topic, std::string data, uint8_t qos, bool retain) {
  const size_t size = topic.size() + data.size();
  if (messages_.size() >= MAX_MESSAGES || size > MAX_BYTES - bytes_) {
    return kv::Status::rejected("Outbox full");
  }
  Message message;
  message.topic = std::move(topic);
  message.data = std::move(data);
  message.qos = qos;
  message.retain = retain;
  message.serial = nextSerial_++;
  messages_.push_back(std::move(message));
  bytes_ += size;
  return kv::Status::ok();
}

Outbox::Message* Outbox::nextToHandOver() {
  if (handedOver_ >= WINDOW || handedOver_ >= messages_.size()) return nullptr;
  return &messages_[handedOver_];
}

bool Outbox::acknowledged(uint64_t serial) {
  for (size_t at = 0; at < handedOver_; ++at) {
    if (messages_[at].serial != serial) continue;
    removeHandedOver(at);
    return true;
  }
  return false;
}

bool Outbox::written(uint64_t bytesWritten) {
  bool left = false;
  for (size_t at = 0; at < handedOver_;) {
    const Message& message = messages_[at];
    if (message.qos == 0 && message.doneAtBytes <= bytesWritten) {
      removeHandedOver(at);
      left = true;
    } else {
      ++at;
    }
  }
  return left;
}

void Outbox::connectionEnded() {
  for (size_t at = 0; at < handedOver_; ++at) messages_[at].sentBefore = true;
  handedOver_ = 0;
}

void Outbox::removeHandedOver(size_t at) {
  const Message& message = messages_[at];
  bytes_ -= message.topic.size() + message.data.size();
  messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(at));
  --handedOver_;
}
