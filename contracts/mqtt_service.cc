#include "contracts/mqtt_service.h"

#include <vector>

#include "platform/system.h"

namespace contract {
namespace mqtt_service {
namespace {

kv::message request(uint32_t command) {
  kv::message m;
  m.set(kv::PATH_FIELD, std::vector<uint32_t>{HANDLER});
  m.set(kv::COMMAND_FIELD, command);
  return m;
}

kv::message brokerRequest(uint32_t command, uint32_t brokerId) {
  kv::message m = request(command);
  m.set(BROKER_FIELD, brokerId);
  return m;
}

}  // namespace

kv::message encode(const PublishOrder& order) {
  kv::message m = brokerRequest(PUBLISH_COMMAND, order.brokerId);
  m.set(TOPIC_FIELD, order.topic);
  m.set(DATA_FIELD, order.data);
  m.set(QOS_FIELD, order.qos);
  m.set(RETAIN_FIELD, order.retain);
  m.set(DISCONNECT_AFTER_FIELD, order.disconnectAfter);
  m.set(CONNECT_IF_NEEDED_FIELD, order.connectIfNeeded);
  // Only when set, so that every other request reads as it always did.
  if (order.queueWhileOffline) m.set(QUEUE_WHILE_OFFLINE_FIELD, true);
  return m;
}

kv::message encode(const ConnectOrder& order) {
  return brokerRequest(CONNECT_COMMAND, order.brokerId);
}

kv::message encode(const DisconnectOrder& order) {
  return brokerRequest(DISCONNECT_COMMAND, order.brokerId);
}

kv::message encode(const SubscribeOrder& order) {
  kv::message m = request(SUBSCRIBE_COMMAND);
  m.set(SUBSCRIPTION_BROKER_FIELD, order.brokerId);
  m.set(SUBSCRIBE_FILTER_FIELD, order.filter);
  m.set(SUBSCRIBE_QOS_FIELD, order.qos);
  m.set(CONNECT_IF_NEEDED_FIELD, order.connectIfNeeded);
  return m;
}

kv::message encode(const UnsubscribeOrder& order) {
  kv::message m = request(UNSUBSCRIBE_COMMAND);
  m.set(SUBSCRIPTION_BROKER_FIELD, order.brokerId);
  m.set(SUBSCRIPTION_ROW_FIELD, order.subscriptionId);
  return m;
}

kv::message encode(const ClearReceivedOrder&) { return request(CLEAR_RECEIVED_COMMAND); }

PublishOrder decodePublish(const kv::message& request) {
  PublishOrder order;
  order.brokerId = request.get(BROKER_FIELD, NO_ID);
  if (const std::string* topic = request.find(TOPIC_FIELD)) order.topic = *topic;
  if (const std::string* data = request.find(DATA_FIELD)) order.data = *data;
  order.qos = request.get(QOS_FIELD, 0);
  order.retain = request.get(RETAIN_FIELD, false);
  order.disconnectAfter = request.get(DISCONNECT_AFTER_FIELD, false);
  order.connectIfNeeded = request.get(CONNECT_IF_NEEDED_FIELD, true);
  order.queueWhileOffline = request.get(QUEUE_WHILE_OFFLINE_FIELD, false);
  return order;
}

ConnectOrder decodeConnect(const kv::message& request) {
  return ConnectOrder{request.get(BROKER_FIELD, NO_ID)};
}

DisconnectOrder decodeDisconnect(const kv::message& request) {
  return DisconnectOrder{request.get(BROKER_FIELD, NO_ID)};
}

SubscribeOrder decodeSubscribe(const kv::message& request) {
  SubscribeOrder order;
  order.brokerId = request.get(SUBSCRIPTION_BROKER_FIELD, NO_ID);
  if (const std::string* filter = request.find(SUBSCRIBE_FILTER_FIELD)) order.filter = *filter;
  order.qos = request.get(SUBSCRIBE_QOS_FIELD, 0);
  order.connectIfNeeded = request.get(CONNECT_IF_NEEDED_FIELD, true);
  return order;
}

UnsubscribeOrder decodeUnsubscribe(const kv::message& request) {
  UnsubscribeOrder order;
  order.brokerId = request.get(SUBSCRIPTION_BROKER_FIELD, NO_ID);
  order.subscriptionId = request.get(SUBSCRIPTION_ROW_FIELD, NO_ID);
  return order;
}

}  // namespace mqtt_service
}  // namespace contract
