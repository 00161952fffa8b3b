#include "commands/mqtt_service.h"

#include "base/log.h"
#include "contracts/mqtt_service.h"
#include "mqtt/packet.h"
#include "mqtt/topic.h"
#include "platform/system.h"

namespace {

namespace svc = contract::mqtt_service;

constexpr uint32_t POLICY = kv::policies::NEEDS_WRITE;

// The holder's object: no fields.
struct NoSettings : Object {
  void writeTo(kv::message&) const override {}
  void readFrom(const kv::message&) override {}
};

bool mayReachBroker(const BrokerClient& client, bool connectIfNeeded) {
  return connectIfNeeded || client.state() == ConnectionState::Connected;
}

// The checks of a publish, in the order the requester sees their answers.
// A queued message is the client's to deliver: it connects whatever
// connectIfNeeded says, and a disconnect after it has no moment to happen.
kv::Status checkPublish(const svc::PublishOrder& order, const BrokerClient& client) {
  if (order.qos > 2) return kv::Status::malformed("Max QoS is 2");
  if (order.topic.empty()) return kv::Status::malformed("Topic required");
  if (!mqtt::isPlainTopic(order.topic)) return kv::Status::malformed("Invalid topic");
  if (order.queueWhileOffline && order.disconnectAfter) {
    return kv::Status::malformed("Cannot disconnect after a queued message");
  }
  if (!order.queueWhileOffline && !mayReachBroker(client, order.connectIfNeeded)) {
    return kv::Status::rejected("Broker not connected");
  }
  if (order.data.size() > svc::MAX_DATA_BYTES) return kv::Status::tooLarge("Message too large");
  return kv::Status::ok();
}

// The checks of a subscribe that come before its client is looked for.
kv::Status checkSubscribeFields(const svc::SubscribeOrder& order) {
  if (order.qos > 2) return kv::Status::malformed("Qos must be 0, 1 or 2");
  if (order.filter.empty()) return kv::Status::malformed("Must provide topic");
  return kv::Status::ok();
}

// The rest, once the client is there.
kv::Status checkSubscribe(const svc::SubscribeOrder& order, const BrokerClient& client,
                          SubscriptionTable& subscriptions) {
  if (!mayReachBroker(client, order.connectIfNeeded)) {
    return kv::Status::rejected("Broker not connected");
  }
  if (mqtt::parseTopic(order.filter).kind == mqtt::TopicKind::Invalid) {
    return kv::Status::malformed("Invalid topic path");
  }
  if (subscriptions.findSubscription(client.broker().id, order.filter)) {
    return kv::Status::rejected("Topic already subscribed");
  }
  if (order.filter.size() > mqtt::MAX_STRING_LENGTH) {
    return kv::Status::tooLarge("Topic filter too long");
  }
  return kv::Status::ok();
}

// The row an unsubscribe removes: the broker's own row with the filter of
// the row the order names (which may be another broker's).
kv::Status findUnsubscribeTarget(const svc::UnsubscribeOrder& order, const BrokerEntry& broker,
                                 SubscriptionTable& subscriptions,
                                 const SubscriptionEntry*& target) {
  const SubscriptionEntry* named =
      order.subscriptionId == contract::NO_ID ? nullptr : subscriptions.findRow(order.subscriptionId);
  if (!named) return kv::Status::notFound("Must provide valid topic");
  target = subscriptions.findSubscription(broker.id, named->topic);
  if (!target) return kv::Status::notFound("Subscription does not belong to target broker");
  return kv::Status::ok();
}

}  // namespace

MqttService::MqttService(kv::Looper& loop, BrokerTable& brokers, SubscriptionTables& tables)
    : AHolder("mqtt"),
      brokers_(brokers),
      tables_(tables),
      incoming_(loop, tables),
      clients_(loop, tables, incoming_) {}

void MqttService::registerPolicies() {
  for (uint32_t command = svc::PUBLISH_COMMAND; command <= svc::UNSUBSCRIBE_COMMAND; ++command) {
    policies_.add_policy(command, POLICY);
  }
}

std::unique_ptr<Object> MqttService::createObject() { return std::make_unique<NoSettings>(); }
void MqttService::copyObject(Object&, const Object&) {}
kv::message MqttService::checkSet(Object&, Object&) {
  return kv::errorMsg(kv::ERR_NOT_SUPPORTED, "");
}

void MqttService::handleCmd(kv::message& request, uint32_t command) {
  switch (command) {
    case svc::PUBLISH_COMMAND: return publish(request);
    case svc::CONNECT_COMMAND: return connect(request);
    case svc::DISCONNECT_COMMAND: return disconnect(request);
    case svc::SUBSCRIBE_COMMAND: return subscribe(request);
    case svc::CLEAR_RECEIVED_COMMAND: return clearReceived(request);
    case svc::UNSUBSCRIBE_COMMAND: return unsubscribe(request);
  }
  kv::Handler::handleCmd(request, command);
}

void MqttService::answer(const kv::message& request, const kv::Status& outcome) {
  answer(replyAddress(request), outcome);
}

void MqttService::answer(const kv::ReplyAddress& address, const kv::Status& outcome) {
  replyMessage(address, outcome.isOk() ? kv::message() : kv::failedMsg(outcome.message()));
}

// The completion holds two numbers besides `this`: small enough for
// std::function to keep without an allocation of its own.
Completion MqttService::answerLater(const kv::message& request) {
  return [this, address = replyAddress(request)](const kv::Status& outcome) {
    answer(address, outcome);
  };
}

BrokerEntry* MqttService::lookupBroker(const kv::message& request, uint32_t id) {
  if (id == contract::NO_ID) {
    answer(request, kv::Status::malformed("Broker required"));
    return nullptr;
  }
  BrokerEntry* broker = brokers_.findRow(id);
  if (!broker) answer(request, kv::Status::notFound("No such broker"));
  return broker;
}

void MqttService::publish(const kv::message& request) {
  svc::PublishOrder order = svc::decodePublish(request);
  BrokerEntry* broker = lookupBroker(request, order.brokerId);
  if (!broker) return;
  std::shared_ptr<BrokerClient> client = clients_.forCommand(*broker);
  const kv::Status refusal = checkPublish(order, *client);
  if (!refusal.isOk()) return answer(request, refusal);
  client->publish(std::move(order), answerLater(request));
}

void MqttService::connect(const kv::message& request) {
  BrokerEntry* broker = lookupBroker(request, svc::decodeConnect(request).brokerId);
  if (!broker) return;
  std::shared_ptr<BrokerClient> client = clients_.find(*broker);
  if (!client) client = clients_.create(*broker);
  if (client->state() == ConnectionState::Connected) return answer(request, kv::Status::ok());
  client->setSubscribeOnConnect(true);
  client->connect(answerLater(request));
}

void MqttService::disconnect(const kv::message& request) {
  BrokerEntry* broker = lookupBroker(request, svc::decodeDisconnect(request).brokerId);
  if (!broker) return;
  std::shared_ptr<BrokerClient> client = clients_.find(*broker);
  if (!client) {
    logWarning("Client not found");
    return answer(request, kv::Status::ok());
  }
  client->disconnect(answerLater(request));
}

void MqttService::subscribe(const kv::message& request) {
  const svc::SubscribeOrder order = svc::decodeSubscribe(request);
  BrokerEntry* broker = lookupBroker(request, order.brokerId);
  if (!broker) return;
  kv::Status refusal = checkSubscribeFields(order);
  if (!refusal.isOk()) return answer(request, refusal);
  std::shared_ptr<BrokerClient> client = clients_.forCommand(*broker);
  refusal = checkSubscribe(order, *client, tables_.subscriptions);
  if (!refusal.isOk()) return answer(request, refusal);
  client->subscribe(order, answerLater(request));
}

void MqttService::clearReceived(const kv::message& request) {
  tables_.received.clear();
  answer(request, kv::Status::ok());
}

void MqttService::unsubscribe(const kv::message& request) {
  const svc::UnsubscribeOrder order = svc::decodeUnsubscribe(request);
  BrokerEntry* broker = lookupBroker(request, order.brokerId);
  if (!broker) return;
  std::shared_ptr<BrokerClient> client = clients_.find(*broker);
  if (!client) return answer(request, kv::Status::notFound(svc::NO_CLIENT_TEXT));
  const SubscriptionEntry* target = nullptr;
  const kv::Status refusal = findUnsubscribeTarget(order, *broker, tables_.subscriptions, target);
  if (!refusal.isOk()) return answer(request, refusal);
  client->unsubscribe(*target, answerLater(request));
}
