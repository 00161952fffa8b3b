// MqttService: the service's command handler, handler 1 on the bus
// (contracts/mqtt_service.h has the commands and their fields).
//
// Each command is decoded once into its order and checked here, in the
// order the requester sees the answers; a refused command is answered at
// once and changes nothing. An accepted order goes to the broker's client
// with a completion that turns the Status it receives into the reply: an
// empty message for ok, kv::failedMsg with the Status's message otherwise.
// The client decides when (broker_client.h). Every command needs write
// permission (policy 512). Every other command number goes to the base
// handler; the holder's object has no fields and refuses every change.
//
// The handler owns the broker clients and the handler of arriving
// messages; the loop and the tables outlive it.
#pragma once

#include <cstdint>
#include <memory>

#include "client/broker_client.h"
#include "commands/broker_clients.h"
#include "commands/incoming.h"
#include "platform/aholder.h"
#include "tables/service_tables.h"

class MqttService : public AHolder {
 public:
  MqttService(kv::Looper& loop, BrokerTable& brokers, SubscriptionTables& tables);

  // Registers the six commands with policy 512.
  void registerPolicies();
  BrokerClients& clients() { return clients_; }

  void handleCmd(kv::message& request, uint32_t command) override;

  std::unique_ptr<Object> createObject() override;
  void copyObject(Object& dst, const Object& src) override;
  kv::message checkSet(Object& current, Object& edited) override;

 private:
  void publish(const kv::message& request);
  void connect(const kv::message& request);
  void disconnect(const kv::message& request);
  void subscribe(const kv::message& request);
  void clearReceived(const kv::message& request);
  void unsubscribe(const kv::message& request);

  // The broker row with object id `id`; null after answering "Broker
  // required" (NO_ID) or "No such broker".
  BrokerEntry* lookupBroker(const kv::message& request, uint32_t id);
  // Answers `request` with the outcome of its order.
  void answer(const kv::message& request, const kv::Status& outcome);
  void answer(const kv::ReplyAddress& address, const kv::Status& outcome);
  // A completion that answers `request` (it keeps only the reply address).
  Completion answerLater(const kv::message& request);

  BrokerTable& brokers_;
  SubscriptionTables& tables_;
  IncomingMessages incoming_;
  BrokerClients clients_;
};
