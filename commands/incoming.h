// Arriving messages: every PUBLISH a broker sends is acknowledged as its
// QoS requires, recorded in the received-message table, matched against
// every subscription row (whichever broker it belongs to), and, when the
// best matching row that has a script exists, its script is handed to the
// platform's script service within the broker's scriptLimit.
//
// The script service ([48], command 1) receives:
//   message array 1104  the variables, each a message {string 1 name,
//                       u32 2 = 1, string 4 value}: "msgTopic" (the topic)
//                       then "msgData" (the data, every byte)
//   string 101          the subscription row's script
//   u32 117             30 s in clock ticks, the script's time limit
// A reply, success or failure, lowers the broker's count of running
// scripts; a failure is logged.
#pragma once

#include <string>

#include "client/broker_client.h"

class IncomingMessages : public PublishHandler {
 public:
  void handlePublish(BrokerClient& client, const mqtt::PublishFields& publish) override;
};

// Posts one script run for `client`'s broker; false when the bus refused it.
bool runOnMessageScript(BrokerClient& client, const std::string& script, const std::string& topic,
                        const std::string& data);

// The handler every client of the service hands its messages to.
PublishHandler& incomingMessages();
