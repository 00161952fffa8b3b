#include "commands/mqtt_service.h"

#include "base/log.h"
#include "commands/incoming.h"
#include "contracts/mqtt_service.h"
#include "mqtt/builders.h"
#include "platform/looper.h"
#include "platform/system.h"

namespace {

using namespace contract::mqtt_service;
constexpr uint32_t NONE = contract::NO_ID;
constexpr uint32_t POLICY = kv::policies::NEEDS_WRITE;

// The holder's object: no fields.
struct NoSettings : Object {
  void writeTo(kv::message&) const override {}
  void readFrom(const kv::message&) override {}
};

// The client of `broker` from clientMap, created (with a log line) when
// there is none.
std::shared_ptr<BrokerClient> clientForCommand(BrokerEntry& broker) {
  auto it = clientMap.find(broker.id);
  if (it != clientMap.end() && it->second) return it->second;
  logInfo("Creating target broker client");
  return createClient(broker);
}

}  // namespace

BrokerEntry* lookupBroker(const kv::message& request, kv::u32_id field) {
  const uint32_t id = request.get(field, NONE);
  kv::Handler* replier = kv::getLooper();
  if (id == NONE) {
    if (replier) replier->replyMessage(request, kv::failedMsg("Broker required"));
    return nullptr;
  }
  BrokerEntry* broker = brokerTable.findRow(id);
  if (!broker && replier) replier->replyMessage(request, kv::failedMsg("No such broker"));
  return broker;
}

std::shared_ptr<BrokerClient> findClient(const BrokerEntry& broker) {
  for (const auto& entry : clientMap) {
    if (entry.second && &entry.second->broker() == &broker) return entry.second;
  }
  return nullptr;
}

std::shared_ptr<BrokerClient> createClient(BrokerEntry& broker) {
  auto client = std::make_shared<BrokerClient>(broker, subscriptionTables, incomingMessages());
  clientMap[broker.id] = client;
  return client;
}

void createClients() {
  for (BrokerEntry& broker : brokerTable) createClient(broker);
}

MqttService::MqttService() : AHolder("mqtt") {}

void MqttService::registerPolicies() {
  for (uint32_t command = 1; command <= 6; ++command) policies_.add_policy(command, POLICY);
}

std::unique_ptr<Object> MqttService::createObject() { return std::make_unique<NoSettings>(); }
void MqttService::copyObject(Object&, const Object&) {}
kv::message MqttService::checkSet(Object&, Object&) {
  return kv::errorMsg(kv::ERR_NOT_SUPPORTED, "");
}

void MqttService::handleCmd(kv::message& request, uint32_t command) {
  switch (command) {
    case PUBLISH_COMMAND: return publish(request);
    case CONNECT_COMMAND: return connect(request);
    case DISCONNECT_COMMAND: return disconnect(request);
    case SUBSCRIBE_COMMAND: return subscribe(request);
    case CLEAR_RECEIVED_COMMAND: return clearReceived(request);
    case UNSUBSCRIBE_COMMAND: return unsubscribe(request);
  }
  kv::Handler::handleCmd(request, command);
}

void MqttService::publish(kv::message& request) {
  BrokerEntry* broker = lookupBroker(request, BROKER_FIELD);
  if (!broker) return;
  const bool connectIfNeeded = request.get(CONNECT_IF_NEEDED_FIELD, true);
  clientForCommand(*broker)->publish(request, connectIfNeeded);
}

void MqttService::connect(kv::message& request) {
  BrokerEntry* broker = lookupBroker(request, BROKER_FIELD);
  if (!broker) return;
  std::shared_ptr<BrokerClient> client = findClient(*broker);
  if (!client) client = createClient(*broker);
  if (client->state() == ConnectionState::Connected) return replyMessage(request, kv::message());
  client->setSubscribeOnConnect(true);
  client->connect(&request);
}

void MqttService::disconnect(kv::message& request) {
  BrokerEntry* broker = lookupBroker(request, BROKER_FIELD);
  if (!broker) return;
  std::shared_ptr<BrokerClient> client = findClient(*broker);
  if (!client) {
    logWarning("Client not found");
    return replyMessage(request, kv::message());
  }
  client->disconnect(&request);
}

void MqttService::subscribe(kv::message& request) {
  BrokerEntry* broker = lookupBroker(request, SUBSCRIPTION_BROKER_FIELD);
  if (!broker) return;
  if (request.get(SUBSCRIBE_QOS_FIELD, 0) > 2) {
    return replyMessage(request, kv::failedMsg("Qos must be 0, 1 or 2"));
  }
  const std::string* filter = request.find(SUBSCRIBE_FILTER_FIELD);
  if (!filter || filter->empty()) return replyMessage(request, kv::failedMsg("Must provide topic"));
  const bool connectIfNeeded = request.get(CONNECT_IF_NEEDED_FIELD, true);
  clientForCommand(*broker)->subscribe(request, connectIfNeeded);
}

void MqttService::clearReceived(kv::message& request) {
  subscriptionTables.received.clear();
  replyMessage(request, kv::message());
}

// Unsubscribes, on the named broker, the filter of the named subscription
// row: the broker's own row with that filter is the one removed (it may
// differ from the named row when another broker has the same filter).
void MqttService::unsubscribe(kv::message& request) {
  BrokerEntry* broker = lookupBroker(request, SUBSCRIPTION_BROKER_FIELD);
  if (!broker) return;
  std::shared_ptr<BrokerClient> client = findClient(*broker);
  if (!client) return replyMessage(request, kv::failedMsg("Client not present"));
  SubscriptionTable& subscriptions = client->tables().subscriptions;
  const uint32_t rowId = request.get(SUBSCRIPTION_ROW_FIELD, NONE);
  const SubscriptionEntry* named = rowId == NONE ? nullptr : subscriptions.findRow(rowId);
  if (!named) return replyMessage(request, kv::failedMsg("Must provide valid topic"));
  const std::string filter = named->topic;
  const SubscriptionEntry* target = subscriptions.findSubscription(broker->id, filter);
  if (!target) {
    return replyMessage(request, kv::failedMsg("Subscription does not belong to target broker"));
  }
  const uint32_t targetId = target->id;
  if (client->state() != ConnectionState::Connected) {
    // Nothing to tell the broker: the row goes on the next loop turn.
    kv::getRunner().addTimer(0, [&subscriptions, targetId, request] {
      subscriptions.removeSubscriptionById(targetId);
      if (kv::Looper* loop = kv::getLooper()) loop->replyMessage(request, kv::message());
    });
    return;
  }
  const uint16_t id = client->peekPacketId();
  mqtt::BuildResult built = mqtt::makeUnsubscribe(id, filter);
  if (!built.ok()) return replyMessage(request, kv::failedMsg(built.error()));
  client->takePacketId();
  client->enqueuePacket(built.takePacket());
  const bool registered = client->registerRequest(
      id, request, [&subscriptions, targetId] { subscriptions.removeSubscriptionById(targetId); });
  if (!registered) replyMessage(request, kv::failedMsg("Unsubscribe failed"));
}
