// Arriving messages: every PUBLISH a broker sends, once its client has
// acknowledged it as its QoS requires, is recorded in the received-message
// table, matched against every subscription row (whichever broker it
// belongs to), and, when the best matching row that has a script exists,
// its script is handed to the platform's script service
// (contracts/scripts.h) within the broker's scriptLimit.
//
// A script run carries the variables "msgTopic" (the topic) and "msgData"
// (the data, every byte), the subscription row's script and a time limit
// of 30 s. A reply, success or failure, lowers the broker's count of
// running scripts; a failure is logged.
#pragma once

#include <string>

#include "client/broker_client.h"
#include "tables/service_tables.h"

class IncomingMessages : public PublishHandler {
 public:
  // `loop` and `tables` outlive the handler.
  IncomingMessages(kv::Looper& loop, SubscriptionTables& tables) : loop_(loop), tables_(tables) {}
  void handlePublish(BrokerClient& client, const mqtt::PublishFields& message) override;

 private:
  kv::Looper& loop_;
  SubscriptionTables& tables_;
};

// Posts one script run for `client`'s broker; false when the bus refused it.
bool runOnMessageScript(BrokerClient& client, const std::string& script, const std::string& topic,
                        const std::string& data);
