// BrokerClient: delivering the outbox (client/outbox.h).
//
// A publish with queueWhileOffline is answered as soon as the outbox has
// taken the message, or refused it ("Outbox full"). From then on the client
// owes the broker the message:
//
//   the client when the message comes   what happens
//   Connected                           handed to the connection now, as the window allows
//   in progress                         handed over at CONNACK
//   Idle, the outbox was empty          connects at once, as a publish with connectIfNeeded
//   Idle, the outbox held messages      waits: automatic connection is trying already
//   Disconnecting, the outbox was empty the disconnect is finished, then as Idle
//
// Automatic connection keeps trying, with the back-off, while the outbox
// holds messages, whether or not the row's autoConnect is set
// (keepalive.cc), so later messages never add attempts of their own.
// CONNACK hands over the oldest messages; each acknowledgement (QoS 1, 2)
// or completed write (QoS 0) makes room for the next. A QoS 1 or 2 message
// waits for its acknowledgement without a time-out for as long as the
// connection lasts: a broker that went silent is found by the keep-alive.
// A teardown or a disconnect puts every message handed over back in line.
#include "base/log.h"
#include "client/broker_client.h"
#include "mqtt/builders.h"

void BrokerClient::queueForDelivery(PublishOrder&& order, Completion done) {
  const bool wasEmpty = outbox_.empty();
  const kv::Status taken = outbox_.add(std::move(order.topic), std::move(order.data),
                                       static_cast<uint8_t>(order.qos), order.retain);
  if (taken.isOk() && state_ == ConnectionState::Connected) {
    sendOutbox();
  } else if (taken.isOk() && wasEmpty) {
    if (state_ == ConnectionState::Disconnecting) finishDisconnect();
    if (state_ == ConnectionState::Idle) {
      subscribeOnConnect_ = true;
      connect();
    }
  }
  done(taken);
}

void BrokerClient::sendOutbox() {
  // Nothing goes behind a DISCONNECT queued by a publish: the messages wait
  // for the next connection.
  while (state_ == ConnectionState::Connected && disconnectAfterId_ == 0) {
    Outbox::Message* message = outbox_.nextToHandOver();
    if (!message) return;
    const uint16_t id = takeFreePacketId();
    if (id == 0) return;  // every identifier is waiting; an acknowledgement frees one
    mqtt::BuildResult built =
        mqtt::makePublish(message->topic, message->qos, message->retain, id, message->data);
    // publish() checked the same topic, QoS and size before the outbox took them.
    if (!built.ok()) return logBrokerWarning(*broker_, "outbox: " + built.error());
    mqtt::MqttPacket packet = built.takePacket();
    if (message->sentBefore) mqtt::markDuplicate(packet);
    if (message->qos == 0) {
      // The queue is written in order: the packet is out once the writer's
      // count has passed everything queued up to and including it.
      message->doneAtBytes = report_.bytesOut - headWritten_ + queuedBytes_ + packet.bytes.size();
    } else {
      const uint64_t serial = message->serial;
      PendingRequest& request = registerRequest(id, [this, serial](const kv::Status& outcome) {
        if (outcome.isOk() && outbox_.acknowledged(serial)) sendOutbox();
      }, nullptr, false);
      request.exactlyOnce = message->qos == 2;
    }
    outbox_.handedOver();
    enqueuePacket(std::move(packet));
  }
}

// A QoS 0 message leaves when the writer has written it, in the middle of
// the writer's loop; the next ones are queued on the next loop turn rather
// than from inside it.
void BrokerClient::scheduleOutboxRefill() {
  if (outboxRefillPending_) return;
  outboxRefillPending_ = true;
  defer(0, [this] {
    outboxRefillPending_ = false;
    sendOutbox();
  });
}
