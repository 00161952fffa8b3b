#include "commands/incoming.h"

#include <vector>

#include "mqtt/builders.h"
#include "platform/looper.h"
#include "platform/system.h"
#include "service/log.h"
#include "service/service_globals.h"
#include "tables/topic.h"

namespace {

const std::vector<uint32_t> SCRIPT_SERVICE_PATH = {48};
constexpr uint32_t SCRIPT_RUN_COMMAND = 1;
constexpr kv::message_array_id SCRIPT_VARIABLES_FIELD{1104};
constexpr kv::string_id SCRIPT_TEXT_FIELD{101};
constexpr kv::u32_id SCRIPT_TIME_LIMIT_FIELD{117};
constexpr kv::string_id VARIABLE_NAME_FIELD{1};
constexpr kv::u32_id VARIABLE_KIND_FIELD{2};
constexpr kv::string_id VARIABLE_VALUE_FIELD{4};
constexpr uint32_t SCRIPT_TIME_LIMIT_SECONDS = 30;

kv::message scriptVariable(const char* name, const std::string& value) {
  kv::message variable;
  variable.set(VARIABLE_NAME_FIELD, name);
  variable.set(VARIABLE_KIND_FIELD, 1u);
  variable.set(VARIABLE_VALUE_FIELD, value);
  return variable;
}

// The reply to one script run: logs a failure and lowers the broker's
// count of running scripts. The client cancels its outstanding requests
// when it goes, so the pointer is valid whenever this runs.
struct ScriptReplyHandler {
  BrokerClient* client;
  std::string topic;

  void operator()(const kv::message& reply) const {
    if (kv::isError(reply)) {
      logError("Running on-message script failed for topic " + topic + " (" + kv::getError(reply) +
               ")");
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

void IncomingMessages::handlePublish(BrokerClient& client, const mqtt::PublishFields& publish) {
  // The acknowledgement goes out whatever the rest of the handling does.
  if (publish.qos == 1) {
    client.enqueuePacket(mqtt::makeAck(mqtt::Puback, 0, publish.packetId));
  } else if (publish.qos == 2) {
    client.enqueuePacket(mqtt::makeAck(mqtt::Pubrec, 0, publish.packetId));
  }
  BrokerEntry& broker = client.broker();
  SubscriptionTables& tables = client.tables();
  kv::Looper* loop = kv::getLooper();
  // A message with an empty topic is not recorded and runs nothing.
  const ReceivedEntry* row =
      tables.received.record(broker.id, publish.topic, publish.data, loop ? loop->getLocaltime() : 0);
  if (!row) return;
  // Matching cuts the topic into levels; skip it when no row has a script.
  if (!anyScript(tables.subscriptions)) return;
  for (SubscriptionEntry* match : collectMatches(row->topic, tables.subscriptions)) {
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
  kv::message request;
  request.set(SCRIPT_VARIABLES_FIELD, std::vector<kv::message>{scriptVariable("msgTopic", topic),
                                                               scriptVariable("msgData", data)});
  request.set(SCRIPT_TEXT_FIELD, script);
  request.set(kv::PATH_FIELD, SCRIPT_SERVICE_PATH);
  request.set(kv::COMMAND_FIELD, SCRIPT_RUN_COMMAND);
  request.set(SCRIPT_TIME_LIMIT_FIELD, SCRIPT_TIME_LIMIT_SECONDS * ticksPerSecond);
  const int id = client.postRequest(std::move(request), ScriptReplyHandler{&client, topic},
                                    SCRIPT_TIME_LIMIT_SECONDS * ticksPerSecond - 1);
  if (id < 0) {
    logError("Running on-message script failed for topic " + topic);
    return false;
  }
  ++client.runningScripts;
  return true;
}

PublishHandler& incomingMessages() {
  static IncomingMessages handler;
  return handler;
}
