// BrokerClient: the publish, subscribe and unsubscribe orders. The command
// handler has checked each order against what it knows (its fields, the
// tables, the connection); here it is queued, and its completion comes when
// the table below says. What only building the packet can tell (a topic
// MQTT cannot carry, a full queue) fails the order here; a failed order
// changes nothing and consumes no packet identifier, but for one refused
// because its identifier is still waiting: that one is passed over, so
// that the next order does not meet it again.
#include <algorithm>

#include "base/log.h"
#include "client/broker_client.h"
#include "mqtt/builders.h"

namespace {
kv::Status disconnecting() { return kv::Status(kv::Status::Kind::Cancelled, "Disconnecting"); }
kv::Status identifierInUse() { return kv::Status::rejected("Packet identifier in use"); }
}  // namespace

// When a publish completes:
//
//   state            QoS  disconnectAfter  actions                         completion
//   Connected        1,2  any              wait for the acknowledgement    PUBACK / PUBCOMP
//   Connected        0    no               -                               at once
//   Connected        0    yes              DISCONNECT queued behind it     its DISCONNECT written
//   not Connected    1,2  any              connect if Idle                 PUBACK / PUBCOMP
//   not Connected    0    yes              DISCONNECT, connect if Idle     its DISCONNECT written
//   in progress      0    no               waits for the connection        CONNACK
//   Idle             0    no               connect with the order          CONNACK
//
// The rows that wait do so as requests on the publish's identifier (a QoS
// 0 one too, for its DISCONNECT): "Timeout occured" after 3 s, and the
// other failures of requests.
//
// The rows for a client that is not Connected need connectIfNeeded. An
// order with queueWhileOffline goes to the outbox instead, once MQTT's
// bounds have shown that it can carry it. A publish or subscribe that finds a
// DISCONNECT queued behind a publish is answered "Disconnecting": the
// connection ends once that DISCONNECT is written, and nothing may be
// queued behind it.
void BrokerClient::publish(PublishOrder&& order, Completion done) {
  const uint8_t qos = static_cast<uint8_t>(std::min(order.qos, 3u));
  if (order.queueWhileOffline) {
    // The outbox takes the topic and data; the packet is built when sent.
    const char* refusal = mqtt::publishRefusal(order.topic.size(), qos, order.data.size());
    if (refusal) return done(kv::Status::malformed(refusal));
    return queueForDelivery(std::move(order), std::move(done));
  }
  mqtt::BuildResult built = mqtt::makePublish(order.topic, qos, order.retain, peekPacketId(), order.data);
  if (!built.ok()) return done(kv::Status::malformed(built.error()));
  if (!queueHasRoom(built.packet().bytes.size())) {
    return done(kv::Status::rejected("Output queue full"));
  }
  if (disconnectAfterId_ != 0) return done(disconnecting());
  // A requested disconnect still waiting to be written is finished first,
  // so that the new attempt starts from Idle with this packet queued.
  if (state_ == ConnectionState::Disconnecting) finishDisconnect();
  const uint16_t id = takePacketId();
  const bool waits = order.qos > 0 || order.disconnectAfter;
  if (waits && !identifierFree(id)) return done(identifierInUse());
  enqueuePacket(built.takePacket());
  subscribeOnConnect_ = !order.disconnectAfter;
  if (order.qos == 0 && order.disconnectAfter) {
    // Queued whole before a connect starts, so that one that fails at once
    // takes both with it and leaves nothing for the next connection.
    enqueuePacket(mqtt::makeDisconnect());
    disconnectAfterId_ = id;
  }
  if (waits) return awaitAcknowledgement(id, order, std::move(done));
  if (state_ == ConnectionState::Connected) {
    done(kv::Status::ok());
  } else if (inProgress()) {
    connectWaiters_.push_back(std::move(done));
  } else {
    connect(std::move(done));
  }
}

void BrokerClient::awaitAcknowledgement(uint16_t id, const PublishOrder& order, Completion done) {
  if (state_ != ConnectionState::Connected && !inProgress()) {
    connect();
    if (state_ == ConnectionState::Idle) return done(connectionFailure());
  }
  std::function<void()> after;
  if (order.qos > 0 && order.disconnectAfter) after = [this] { disconnect(); };
  registerRequest(id, std::move(done), std::move(after)).exactlyOnce = order.qos == 2;
}

void BrokerClient::subscribe(const SubscribeOrder& order, Completion done) {
  if (disconnectAfterId_ != 0) return done(disconnecting());
  subscribeOnConnect_ = true;
  if (state_ == ConnectionState::Disconnecting) finishDisconnect();
  if (state_ == ConnectionState::Idle) {
    connect();
    if (state_ == ConnectionState::Idle) return done(connectionFailure());
  }
  if (!identifierFree(peekPacketId())) {
    takePacketId();
    return done(identifierInUse());
  }
  const uint16_t id = sendSubscribe(order.filter, order.qos);
  // Recorded once the broker acknowledges. Two subscribes of one filter
  // that cross each other record it once.
  const std::string filter = order.filter;
  const uint32_t qos = order.qos;
  PendingRequest& request = registerRequest(id, std::move(done), [this, filter, qos] {
    SubscriptionTable& table = tables_->subscriptions;
    if (table.findSubscription(broker_->id, filter)) return;
    auto row = std::make_unique<SubscriptionEntry>();
    row->brokerId = broker_->id;
    row->setTopic(filter);
    row->qos = qos;
    table.add(std::move(row), true);
  });
  request.filter = filter;
  request.qos = qos;
}

void BrokerClient::unsubscribe(const SubscriptionEntry& target, Completion done) {
  SubscriptionTable& table = tables_->subscriptions;
  const uint32_t targetId = target.id;
  if (state_ != ConnectionState::Connected) {
    // Nothing to tell the broker: the row goes on the next loop turn. The
    // step works on the table alone, so it does not go with the client.
    loop_.runner().addTimer(0, [&table, targetId, done] {
      table.removeSubscriptionById(targetId);
      done(kv::Status::ok());
    });
    return;
  }
  const uint16_t id = peekPacketId();
  mqtt::BuildResult built = mqtt::makeUnsubscribe(id, target.topic);
  if (!built.ok()) return done(kv::Status::malformed(built.error()));
  takePacketId();
  if (!identifierFree(id)) return done(kv::Status::rejected("Unsubscribe failed"));
  enqueuePacket(built.takePacket());
  registerRequest(id, std::move(done), [&table, targetId] { table.removeSubscriptionById(targetId); });
}

uint16_t BrokerClient::sendSubscribe(const std::string& filter, uint32_t qos) {
  const uint16_t id = takePacketId();
  mqtt::BuildResult built = mqtt::makeSubscribe(id, filter, static_cast<uint8_t>(qos > 2 ? 2 : qos));
  if (!built.ok()) {
    logBrokerWarning(*broker_, "not subscribed to a filter: " + built.error());
    return id;
  }
  enqueuePacket(built.takePacket());
  return id;
}
