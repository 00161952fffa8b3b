// BrokerClient: the publish and subscribe operations behind the service's
// commands. Each validates its command, queues its packet and decides when
// the command is answered (see the tables below); a refused command
// changes nothing and consumes no packet identifier.
#include "base/log.h"
#include "client/broker_client.h"
#include "contracts/mqtt_service.h"
#include "mqtt/builders.h"
#include "mqtt/framer.h"
#include "mqtt/topic.h"

namespace {

using namespace contract::mqtt_service;

const std::string EMPTY;

const std::string& stringField(const kv::message& msg, kv::string_id id) {
  const std::string* value = msg.find(id);
  return value ? *value : EMPTY;
}

}  // namespace

// When the command is answered:
//
//   state            QoS  disconnectAfter  actions                         reply
//   Connected        1,2  any              wait for the acknowledgement    PUBACK / PUBCOMP
//   Connected        0    no               -                               at once
//   Connected        0    yes              DISCONNECT queued behind it     at the teardown
//   not Connected    1,2  any              connect if Idle                 PUBACK / PUBCOMP
//   not Connected    0    yes              connect if Idle, DISCONNECT     at the teardown
//   in progress      0    no               waits for the connection        CONNACK
//   Idle             0    no               connect with the command        CONNACK
//
// The rows for a client that is not Connected need connectIfNeeded.
void BrokerClient::publish(const kv::message& command, bool connectIfNeeded) {
  const uint32_t qos = command.get(QOS_FIELD, 0);
  const std::string& topic = stringField(command, TOPIC_FIELD);
  const std::string& data = stringField(command, DATA_FIELD);
  const char* refusal = nullptr;
  if (qos > 2) {
    refusal = "Max QoS is 2";
  } else if (topic.empty()) {
    refusal = "Topic required";
  } else if (!mqtt::isPlainTopic(topic)) {
    refusal = "Invalid topic";
  } else if (state_ != ConnectionState::Connected && !connectIfNeeded) {
    refusal = "Broker not connected";
  } else if (data.size() > mqtt::MAX_MESSAGE_DATA) {
    refusal = "Message too large";
  }
  if (refusal) return answer(command, kv::failedMsg(refusal));
  const bool retain = command.get(RETAIN_FIELD, false);
  const bool disconnectAfter = command.get(DISCONNECT_AFTER_FIELD, false);
  mqtt::BuildResult built =
      mqtt::makePublish(topic, static_cast<uint8_t>(qos), retain, peekPacketId(), data);
  if (!built.ok()) return answer(command, kv::failedMsg(built.error()));
  if (!queueHasRoom(built.packet().bytes.size())) {
    return answer(command, kv::failedMsg("Output queue full"));
  }
  // A requested disconnect still waiting to be written is finished first,
  // so that the new attempt starts from Idle with this packet queued.
  if (state_ == ConnectionState::Disconnecting) finishDisconnect();
  const uint16_t id = takePacketId();
  enqueuePacket(built.takePacket());
  subscribeOnConnect_ = !disconnectAfter;

  const bool connected = state_ == ConnectionState::Connected;
  if (qos > 0) {
    if (!connected && !inProgress()) {
      connect(nullptr);
      if (state_ == ConnectionState::Idle) return answer(command, kv::failedMsg("Connection failed"));
    }
    Completion done;
    if (disconnectAfter) done = [this] { disconnect(nullptr); };
    registerRequest(id, command, std::move(done));
  } else if (disconnectAfter) {
    disconnectWaiters_.push_back(command);
    if (!connected && !inProgress()) connect(nullptr);
    enqueuePacket(mqtt::makeDisconnect());
  } else if (connected) {
    answer(command, kv::message());
  } else if (inProgress()) {
    connectWaiters_.push_back(command);
  } else {
    connect(&command);
  }
}

void BrokerClient::subscribe(const kv::message& command, bool connectIfNeeded) {
  const uint32_t qos = command.get(SUBSCRIBE_QOS_FIELD, 0);
  const std::string& filter = stringField(command, SUBSCRIBE_FILTER_FIELD);
  const char* refusal = nullptr;
  if (state_ != ConnectionState::Connected && !connectIfNeeded) {
    refusal = "Broker not connected";
  } else if (qos > 2) {
    refusal = "Qos must be 0, 1 or 2";
  } else if (filter.empty()) {
    refusal = "Topic required";
  } else if (mqtt::parseTopic(filter).kind == mqtt::TopicKind::Invalid) {
    refusal = "Invalid topic path";
  } else if (tables_->subscriptions.findSubscription(broker_->id, filter)) {
    refusal = "Topic already subscribed";
  } else if (filter.size() > mqtt::MAX_STRING_LENGTH) {
    refusal = "Topic filter too long";
  }
  if (refusal) return answer(command, kv::failedMsg(refusal));
  subscribeOnConnect_ = true;
  if (state_ == ConnectionState::Disconnecting) finishDisconnect();
  if (state_ == ConnectionState::Idle) {
    connect(nullptr);
    if (state_ == ConnectionState::Idle) return answer(command, kv::failedMsg("Connection failed"));
  }
  const uint16_t id = sendSubscribe(filter, qos);
  // Recorded once the broker acknowledges. Two subscribes of one filter
  // that cross each other record it once.
  registerRequest(id, command, [this, filter, qos] {
    SubscriptionTable& table = tables_->subscriptions;
    if (table.findSubscription(broker_->id, filter)) return;
    auto row = std::make_unique<SubscriptionEntry>();
    row->brokerId = broker_->id;
    row->setTopic(filter);
    row->qos = qos;
    table.add(std::move(row), true);
  });
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
