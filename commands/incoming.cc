#include "commands/incoming.h"

#include <vector>

#include "base/log.h"
#include "base/service_globals.h"
#include "contracts/scripts.h"
#include "platform/system.h"
#include "tables/subscription_table.h"

namespace {

constexpr uint32_t SCRIPT_TIME_LIMIT_SECONDS = 30;

// The reply to one script run: logs a failure and lowers the broker's
// count of running scripts. The client cancels its outstanding requests
// when it goes, so the pointer is valid whenever this runs.
struct ScriptReplyHandler {
  BrokerClient* client;
  std::string topic;

  void operator()(const kv::message& reply) const {
    if (kv::isError(reply)) {
      logBrokerError(client->broker(), "Running on-message script failed for topic " + topic +
                                           " (" + kv::getError(reply) + ")");
    }
    if (client->runningScripts > 0) --client->runningScripts;
  }
};

bool anyScript(SubscriptionTable& subscriptions) {
  for (const SubscriptionEntry& row : subscriptions) {
    if (!row.script.empty()) return true;
  }
  return false;
}

}  // namespace

void IncomingMessages::handlePublish(BrokerClient& client, const mqtt::PublishFields& message) {
  BrokerEntry& broker = client.broker();
  // A message with an empty topic is not recorded and runs nothing.
  const ReceivedEntry* row =
      tables_.received.record(broker.id, message.topic, message.data, loop_.getLocaltime());
  if (!row) return;
  // Matching cuts the topic into levels; skip it when no row has a script.
  if (!anyScript(tables_.subscriptions)) return;
  for (SubscriptionEntry* match : collectMatches(row->topic, tables_.subscriptions)) {
    if (match->script.empty()) continue;
    if (broker.scriptLimit != 0 && client.runningScripts >= broker.scriptLimit) {
      logBrokerWarning(broker, strprintf("Ignoring script execution on topic '%s'. Too many broker "
                                         "scripts already running (%u/%u)",
                                         row->topic.c_str(), client.runningScripts,
                                         broker.scriptLimit));
      return;
    }
    runOnMessageScript(client, match->script, row->topic, row->data);
    return;
  }
}

bool runOnMessageScript(BrokerClient& client, const std::string& script, const std::string& topic,
                        const std::string& data) {
  contract::scripts::RunOrder order;
  order.script = script;
  order.variables = {{"msgTopic", topic}, {"msgData", data}};
  order.timeLimitTicks = SCRIPT_TIME_LIMIT_SECONDS * ticksPerSecond;
  const int id = client.postRequest(contract::scripts::encode(order),
                                    ScriptReplyHandler{&client, topic},
                                    SCRIPT_TIME_LIMIT_SECONDS * ticksPerSecond - 1);
  if (id < 0) {
    logBrokerError(client.broker(), "Running on-message script failed for topic " + topic);
    return false;
  }
  ++client.runningScripts;
  return true;
}
