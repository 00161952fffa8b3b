// BrokerClient: what the broker's acknowledgements say beyond the packet
// identifier they answer.
//
// A SUBACK carries the QoS granted (0, 1, 2) or a refusal (0x80); any
// other code grants nothing MQTT 3.1.1 names and counts as a refusal. A
// refused subscribe order is answered "Subscription refused by the broker"
// and records no row. A refused re-subscription (CONNACK subscribes the
// broker's rows again) has nobody waiting for it, so it is logged, with the
// filter, once per connection. A QoS granted below the one asked for is
// logged with both: the subscription works, with less assurance than the
// row asks for.
//
// A PUBACK answers QoS 1. Some brokers never speak QoS 2 and answer a QoS 2
// PUBLISH with PUBACK: the broker has taken the message, so the order
// completes, with one warning per connection.
#include "base/log.h"
#include "client/broker_client.h"
#include "mqtt/received.h"

void BrokerClient::resubscribe() {
  for (SubscriptionEntry& row : tables_->subscriptions) {
    if (state_ != ConnectionState::Connected) return;
    if (row.brokerId != broker_->id) continue;
    const uint16_t id = sendSubscribe(row.topic, row.qos);
    resubscribing_[id] = {row.topic, row.qos};
  }
}

void BrokerClient::onSuback(const mqtt::MqttPacket& packet) {
  const uint16_t id = mqtt::packetIdOf(packet);
  const uint8_t granted = mqtt::subackReturnCode(packet);
  auto again = resubscribing_.find(id);
  if (again != resubscribing_.end()) {
    noteGrant(again->second.first, again->second.second, granted, false);
    resubscribing_.erase(again);
    return;
  }
  auto order = pending_.find(id);
  if (order == pending_.end()) return;  // unknown, or answered already
  noteGrant(order->second.filter, order->second.qos, granted, true);
  if (granted <= 2) return completeRequest(id);
  completeRequest(id, kv::Status(kv::Status::Kind::Refused, "Subscription refused by the broker"));
}

void BrokerClient::noteGrant(const std::string& filter, uint32_t asked, uint8_t granted,
                             bool order) {
  if (granted > 2) {
    // An order's refusal is its answer; a re-subscription's is only here.
    if (!order) logBrokerWarning(*broker_, "subscription to " + filter + " refused by the broker");
    return;
  }
  if (granted < asked) {
    logBrokerWarning(*broker_, strprintf("subscription to %s granted QoS %u, asked %u",
                                         filter.c_str(), unsigned{granted}, asked));
  }
}

void BrokerClient::onPuback(uint16_t packetId) {
  auto it = pending_.find(packetId);
  if (it != pending_.end() && it->second.exactlyOnce && !warnedPubackForQos2_) {
    warnedPubackForQos2_ = true;
    logBrokerWarning(*broker_, "PUBACK answered a QoS 2 PUBLISH; taken as delivered "
                               "(the broker may not support QoS 2)");
  }
  completeRequest(packetId);
}
