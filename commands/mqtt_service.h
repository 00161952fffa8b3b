// MqttService: the service's command handler, handler 1 on the bus.
//
//   command           number  fields                                   answered
//   Publish           1       u32 1 broker, string 2 topic, string 3   by the broker client
//                             data, u32 5 QoS, bool 6 retain, bool 7
//                             disconnect after, bool 14 connect if
//                             needed (default true)
//   Connect           2       u32 1 broker                             at CONNACK / failure
//   Disconnect        3       u32 1 broker                             after DISCONNECT
//   Subscribe         4       u32 11 broker, string 12 filter, u32 13  at SUBACK
//                             QoS, bool 14 connect if needed
//   ClearReceived     5       -                                        at once
//   Unsubscribe       6       u32 11 broker, u32 13 subscription row   at UNSUBACK, or next
//                                                                      turn when not connected
// Every command needs write permission (policy 512). A broker row id of
// 0xFFFFFFFF counts as absent. Every other command number goes to the base
// handler; the holder's object has no fields and refuses every change.
#pragma once

#include <cstdint>
#include <memory>

#include "client/broker_client.h"
#include "platform/aholder.h"
#include "tables/service_tables.h"

class MqttService : public AHolder {
 public:
  MqttService();

  // Registers the six commands with policy 512.
  void registerPolicies();

  void handleCmd(kv::message& request, uint32_t command) override;

  std::unique_ptr<Object> createObject() override;
  void copyObject(Object& dst, const Object& src) override;
  kv::message checkSet(Object& current, Object& edited) override;

 private:
  void publish(kv::message& request);
  void connect(kv::message& request);
  void disconnect(kv::message& request);
  void subscribe(kv::message& request);
  void clearReceived(kv::message& request);
  void unsubscribe(kv::message& request);
};

// The broker row named by the request's u32 `field`; null after answering
// "Broker required" (absent or 0xFFFFFFFF) or "No such broker".
BrokerEntry* lookupBroker(const kv::message& request, kv::u32_id field);
// The client serving `broker`, or an empty handle.
std::shared_ptr<BrokerClient> findClient(const BrokerEntry& broker);
// A new client for `broker`, stored in clientMap under the row's id (a
// client stored there before is released).
std::shared_ptr<BrokerClient> createClient(BrokerEntry& broker);
// A client for every broker row (start-up).
void createClients();
