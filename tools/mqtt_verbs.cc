// The commands to the daemon (handler 1), by name: connect, disconnect,
// publish, subscribe, unsubscribe, clear. A broker is named by its name or
// object id; the daemon's answer comes when the broker has answered.
#include <utility>

#include "platform/system.h"
#include "tools/input.h"
#include "tools/mqtt_verbs.h"
#include "tools/publish_lines.h"
#include "tools/rows.h"
#include "tools/status.h"
#include "tools/values.h"
#include "tools/verbs.h"

namespace mqttctl {
namespace {

namespace svc = contract::mqtt_service;
namespace subscriptions = contract::subscriptions;
// The script service's bound on a script.
constexpr size_t MAX_SCRIPT_BYTES = 65536;

kv::Status parseQos(const VerbArgs& args, uint32_t& qos) {
  qos = 0;
  if (!args.has("qos")) return kv::Status::ok();
  const std::string text = args.value("qos");
  if (!parseU32(text, qos).isOk() || qos > 2) {
    return kv::Status::malformed("-q " + quoteArg(text) + ": QoS is 0, 1 or 2");
  }
  return kv::Status::ok();
}

// "VERB NAME: TEXT", and when TEXT needs a reason, the broker's last
// failure if it happened while the command ran. With --json the same text
// as {"error":...} with the broker's "status".
int reportRefusal(Session& s, const std::string& verb, const kv::message& broker,
                  const std::string& refusal, uint64_t elapsedMillis) {
  std::string line = verb + " " + escapeBytes(broker.get(kv::NAME_FIELD), false) + ": " +
                     escapeBytes(refusal);
  BrokerStatus status;
  bool withStatus = false;
  const std::string reason =
      needsReason(refusal) ? reasonFor(s, broker, elapsedMillis, status, withStatus) : "";
  if (!reason.empty()) line += ": " + escapeBytes(reason, false);
  fail(s.output, EXIT_ERROR_REPLY, line);
  if (s.output.json) {
    printJsonError(s.output, line, withStatus ? "\"status\":" + statusJson(status) : "");
  }
  return EXIT_ERROR_REPLY;
}

// Sends an order to the daemon for `broker`. Success prints nothing, as
// with the everyday tools; a refusal names the verb and the broker.
int sendOrder(Session& s, const std::string& verb, const kv::message& broker,
              const kv::message& request) {
  const uint64_t start = s.bus.nowMillis();
  const CallResult result = s.bus.call(request);
  const int status = exitStatusFor(result);
  if (status == EXIT_SUCCESS_REPLY) return status;
  if (status != EXIT_ERROR_REPLY || result.reply.has(kv::ERROR_CODE_FIELD)) {
    return reportFailure(result, s.output);
  }
  return reportRefusal(s, verb, broker, kv::getError(result.reply), s.bus.nowMillis() - start);
}

// Sends `order` for broker `ref` once the broker is found.
template <class Order>
Action sendToBroker(const char* verb, const std::string& ref, Order order) {
  return [verb, ref, order](Session& s) mutable {
    kv::message broker;
    if (int status = findBroker(s, ref, broker)) return status;
    order.brokerId = rowId(broker);
    return sendOrder(s, verb, broker, svc::encode(order));
  };
}

// ---- prepare() of each verb --------------------------------------------------------

kv::Status prepareConnect(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 1);
  if (st.isOk()) action = sendToBroker("connect", args.words[0], svc::ConnectOrder());
  return st;
}

kv::Status prepareDisconnect(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 1);
  if (st.isOk()) action = sendToBroker("disconnect", args.words[0], svc::DisconnectOrder());
  return st;
}

// The message: the argument, -f FILE, or (with -l) each line of standard
// input; at most one of them. None: an empty message.
kv::Status preparePublish(const VerbArgs& args, Action& action) {
  svc::PublishOrder order;
  kv::Status st = expectWords(args, 2, 3);
  if (st.isOk()) st = parseQos(args, order.qos);
  const int sources = (args.words.size() == 3) + args.has("file") + args.has("lines");
  if (st.isOk() && sources > 1) {
    st = kv::Status::malformed("give the message once: as an argument, with -f or with -l");
  }
  if (st.isOk() && args.has("outbox") && (args.has("no-connect") || args.has("disconnect-after"))) {
    st = kv::Status::malformed("-o: the daemon connects and stays connected to deliver it; "
                               "drop --no-connect and --disconnect-after");
  }
  if (args.words.size() == 3) order.data = args.words[2];
  if (st.isOk() && args.has("file")) {
    st = readInputFile(args.value("file"), MAX_PAYLOAD_BYTES, "-f " + args.value("file"),
                       order.data);
  }
  if (!st.isOk()) return st;
  order.topic = args.words[1];
  order.retain = args.has("retain");
  order.disconnectAfter = args.has("disconnect-after") && !args.has("lines");
  order.connectIfNeeded = !args.has("no-connect");
  order.queueWhileOffline = args.has("outbox");
  if (!args.has("lines")) {
    action = sendToBroker("publish", args.words[0], order);
    return st;
  }
  const std::string ref = args.words[0];
  const bool disconnectAfter = args.has("disconnect-after");
  action = [ref, order, disconnectAfter](Session& s) mutable {
    kv::message broker;
    if (int status = findBroker(s, ref, broker)) return status;
    order.brokerId = rowId(broker);
    return publishLines(s, broker, order, disconnectAfter);
  };
  return st;
}

// --script TEXT or --script-file FILE: the on-message script, or "" when
// neither is given.
kv::Status subscribeScript(const VerbArgs& args, std::string& script) {
  if (args.has("script") && args.has("script-file")) {
    return kv::Status::malformed("give the script once: --script or --script-file");
  }
  const std::string file = args.value("script-file");
  kv::Status st = args.has("script-file")
                      ? readInputFile(file, MAX_SCRIPT_BYTES, "--script-file " + file, script)
                      : kv::Status::ok();
  if (args.has("script")) script = args.value("script");
  if (st.isOk() && (args.has("script") || args.has("script-file")) && script.empty()) {
    st = kv::Status::malformed("the script is empty");
  }
  if (st.isOk() && script.size() > MAX_SCRIPT_BYTES) {
    st = kv::Status::tooLarge("--script: more than " + std::to_string(MAX_SCRIPT_BYTES) + " bytes");
  }
  return st;
}

// The daemon adds the subscription row, without a script, when the broker
// has acknowledged; the script is then set on that row.
int subscribeWithScript(Session& s, const std::string& ref, svc::SubscribeOrder order,
                        const std::string& script) {
  kv::message broker, row, set;
  if (int status = findBroker(s, ref, broker)) return status;
  order.brokerId = rowId(broker);
  if (int status = sendOrder(s, "subscribe", broker, svc::encode(order))) return status;
  if (int status = findSubscription(s, order.brokerId, order.filter, row)) return status;
  set.set(kv::PATH_FIELD, std::vector<uint32_t>{subscriptions::HANDLER});
  set.set(kv::COMMAND_FIELD, kv::CMD_SET_OBJ);
  set.set(kv::OBJECT_ID_FIELD, rowId(row));
  set.set(subscriptions::SCRIPT_FIELD, script);
  return sendChange(s, set);
}

kv::Status prepareSubscribe(const VerbArgs& args, Action& action) {
  svc::SubscribeOrder order;
  std::string script;
  kv::Status st = expectWords(args, 2, 2);
  if (st.isOk()) st = parseQos(args, order.qos);
  if (st.isOk()) st = subscribeScript(args, script);
  if (!st.isOk()) return st;
  order.filter = args.words[1];
  order.connectIfNeeded = !args.has("no-connect");
  const std::string ref = args.words[0];
  action = script.empty() ? sendToBroker("subscribe", ref, order)
                          : [ref, order, script](Session& s) {
                              return subscribeWithScript(s, ref, order, script);
                            };
  return st;
}

// The daemon unsubscribes by subscription row: the row of that broker with
// that filter, found here.
kv::Status prepareUnsubscribe(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 2, 2);
  if (!st.isOk()) return st;
  const std::string ref = args.words[0], filter = args.words[1];
  action = [ref, filter](Session& s) {
    svc::UnsubscribeOrder order;
    kv::message broker, row;
    if (int status = findBroker(s, ref, broker)) return status;
    order.brokerId = rowId(broker);
    if (int status = findSubscription(s, order.brokerId, filter, row)) return status;
    order.subscriptionId = rowId(row);
    return sendOrder(s, "unsubscribe", broker, svc::encode(order));
  };
  return st;
}

constexpr const char* COMMANDS = "Commands to the daemon";

}  // namespace

kv::Status prepareClear(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 0, 0);
  const kv::message request = svc::encode(svc::ClearReceivedOrder());
  action = [request](Session& s) { return sendChange(s, request); };
  return st;
}

const std::vector<Verb>& mqttVerbs() {
  static const std::vector<Verb> table = {
      {"connect", "BROKER", "connect to a broker now", COMMANDS, {},
       "Answers once the broker has accepted the connection.", "mqttctl connect home",
       prepareConnect},
      {"disconnect", "BROKER", "close the connection to a broker", COMMANDS, {}, "",
       "mqttctl disconnect home", prepareDisconnect},
      {"publish", "BROKER TOPIC [MESSAGE]", "publish a message", COMMANDS,
       {{'q', "qos", "QOS", "quality of service: 0 (default), 1 or 2"},
        {'r', "retain", nullptr, "the broker keeps it for later subscribers"},
        {'f', "file", "FILE", "the message is the content of FILE (- for standard input)"},
        {'l', "lines", nullptr, "each line of standard input is a message"},
        {'o', "outbox", nullptr, "answer at once; the daemon delivers it when it can"},
        {0, "no-connect", nullptr, "refuse if the broker is not connected"},
        {0, "disconnect-after", nullptr, "disconnect once it is sent"}},
       "Without MESSAGE, -f or -l the message is empty. A message is at most 2 MiB.\n"
       "With -l, up to 64 messages are in flight at once, in order; the first\n"
       "refusal stops the reading (the messages already sent stay sent).\n"
       "With -o the daemon keeps the message in the broker's outbox (in memory, at\n"
       "most 1,000 messages and 1 MiB) until the broker has it, across lost\n"
       "connections; with -l -o every line reaches the broker after it comes back.",
       "mqttctl publish home sensors/kitchen/temperature 21.5\n"
       "mqttctl publish -q 1 -r home status/router online\n"
       "journalctl -f | mqttctl publish -l home logs/router",
       preparePublish},
      {"subscribe", "BROKER FILTER", "subscribe now and keep the subscription", COMMANDS,
       {{'q', "qos", "QOS", "quality of service: 0 (default), 1 or 2"},
        {0, "script", "TEXT", "the on-message script of the subscription"},
        {0, "script-file", "FILE", "the script is the content of FILE (- for standard input)"},
        {0, "no-connect", nullptr, "refuse if the broker is not connected"}},
       "The daemon adds a subscription row once the broker has acknowledged it; the\n"
       "script is set on that row right after, so a message that comes at once (a\n"
       "retained one) may arrive before it. Scripts are 1 to 65536 bytes.\n"
       "Watch what arrives with 'mqttctl received watch'.",
       "mqttctl subscribe home 'sensors/#'\nmqttctl subscribe -q 1 home alarms/+\n"
       "mqttctl subscribe home 'alarms/#' --script-file /etc/mqtt/on-alarm.sh",
       prepareSubscribe},
      {"unsubscribe", "BROKER FILTER", "unsubscribe and remove the subscription row", COMMANDS,
       {}, "", "mqttctl unsubscribe home 'sensors/#'", prepareUnsubscribe},
      {"clear", "", "forget every recorded message", COMMANDS, {}, "", "mqttctl clear",
       prepareClear},
  };
  return table;
}

}  // namespace mqttctl
