// The daemon's command handler on the bus: handler 1, six commands. The
// requester encodes an order, the daemon decodes it; both through this
// header.
//
//   command        number  fields (absent: the default)                 answered
//   Publish        1       u32 1 broker, string 2 topic, string 3 data,  by the broker's
//                          u32 5 QoS (0), bool 6 retain, bool 7          acknowledgement,
//                          disconnect after, bool 14 connect if needed   or at once
//                          (true), bool 16 queue while offline (false)
//   Connect        2       u32 1 broker                                  at CONNACK or failure
//   Disconnect     3       u32 1 broker                                  after DISCONNECT
//   Subscribe      4       u32 11 broker, string 12 filter, u32 13 QoS,  at SUBACK
//                          bool 14 connect if needed (true)
//   ClearReceived  5       -                                             at once
//   Unsubscribe    6       u32 11 broker, u32 13 subscription row        at UNSUBACK, or on
//                                                                        the next loop turn
// Subscribe and unsubscribe use the subscription row's numbers
// (mqtt_tables.h). A broker or row id of NO_ID names nothing, as an absent
// one. Every command needs write permission. Success is an empty reply; a
// failure carries its text (docs/commands.md lists them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "contracts/mqtt_tables.h"
#include "platform/message.h"

namespace contract {
namespace mqtt_service {

constexpr uint32_t HANDLER = 1;

constexpr uint32_t PUBLISH_COMMAND = 1;
constexpr uint32_t CONNECT_COMMAND = 2;
constexpr uint32_t DISCONNECT_COMMAND = 3;
constexpr uint32_t SUBSCRIBE_COMMAND = 4;
constexpr uint32_t CLEAR_RECEIVED_COMMAND = 5;
constexpr uint32_t UNSUBSCRIBE_COMMAND = 6;

constexpr kv::u32_id BROKER_FIELD{1};  // publish, connect, disconnect
constexpr kv::string_id TOPIC_FIELD{2};
constexpr kv::string_id DATA_FIELD{3};
constexpr kv::u32_id QOS_FIELD{5};
constexpr kv::bool_id RETAIN_FIELD{6};
constexpr kv::bool_id DISCONNECT_AFTER_FIELD{7};
constexpr kv::bool_id CONNECT_IF_NEEDED_FIELD{14};  // publish, subscribe
// Publish: the broker's client takes the message over (its outbox) and
// delivers it whenever the broker can be reached; answered at once.
constexpr kv::bool_id QUEUE_WHILE_OFFLINE_FIELD{16};
constexpr kv::u32_id SUBSCRIPTION_BROKER_FIELD = subscriptions::BROKER_FIELD;
constexpr kv::string_id SUBSCRIBE_FILTER_FIELD = subscriptions::FILTER_FIELD;
constexpr kv::u32_id SUBSCRIBE_QOS_FIELD = subscriptions::QOS_FIELD;
constexpr kv::u32_id SUBSCRIPTION_ROW_FIELD{13};  // unsubscribe: the row's object id

// The most data one publish may carry; more is refused ("Message too large").
constexpr size_t MAX_DATA_BYTES = 2 * 1024 * 1024;

struct PublishOrder {
  uint32_t brokerId = NO_ID;
  std::string topic;
  std::string data;
  uint32_t qos = 0;  // as sent: the daemon refuses more than 2
  bool retain = false;
  bool disconnectAfter = false;
  bool connectIfNeeded = true;
  bool queueWhileOffline = false;
};

struct ConnectOrder {
  uint32_t brokerId = NO_ID;
};

struct DisconnectOrder {
  uint32_t brokerId = NO_ID;
};

struct SubscribeOrder {
  uint32_t brokerId = NO_ID;
  std::string filter;
  uint32_t qos = 0;  // as sent: the daemon refuses more than 2
  bool connectIfNeeded = true;
};

// Names a subscription row; the daemon unsubscribes the broker's own row
// with that row's filter.
struct UnsubscribeOrder {
  uint32_t brokerId = NO_ID;
  uint32_t subscriptionId = NO_ID;
};

struct ClearReceivedOrder {};

// The refusal of an unsubscribe for a broker that has no client yet (never
// connected since the daemon started): there is nothing to unsubscribe at
// the broker, and a requester that wants the row gone removes it from the
// table.
constexpr const char* NO_CLIENT_TEXT = "Client not present";

// A request for handler 1: path, command number and every field of the
// order.
kv::message encode(const PublishOrder& order);
kv::message encode(const ConnectOrder& order);
kv::message encode(const DisconnectOrder& order);
kv::message encode(const SubscribeOrder& order);
kv::message encode(const UnsubscribeOrder& order);
kv::message encode(const ClearReceivedOrder& order);

// The order a request carries: each field it has, the default for each it
// lacks. Reads nothing but the order's own fields; checking the values is
// the daemon's.
PublishOrder decodePublish(const kv::message& request);
ConnectOrder decodeConnect(const kv::message& request);
DisconnectOrder decodeDisconnect(const kv::message& request);
SubscribeOrder decodeSubscribe(const kv::message& request);
UnsubscribeOrder decodeUnsubscribe(const kv::message& request);

}  // namespace mqtt_service
}  // namespace contract
