// The commands to the daemon (handler 1), by name: connect, disconnect,
// publish, subscribe, unsubscribe, clear. A broker is named by its name or
// object id; the daemon's answer comes when the broker has answered.
#include <errno.h>

#include <cstdio>
#include <utility>

#include "platform/system.h"
#include "tools/mqtt_verbs.h"
#include "tools/publish_lines.h"
#include "tools/rows.h"
#include "tools/values.h"
#include "tools/verbs.h"

namespace mqttctl {
namespace {

namespace svc = contract::mqtt_service;

kv::Status parseQos(const VerbArgs& args, uint32_t& qos) {
  qos = 0;
  if (!args.has("qos")) return kv::Status::ok();
  const std::string text = args.value("qos");
  if (!parseU32(text, qos).isOk() || qos > 2) {
    return kv::Status::malformed("-q " + quoteArg(text) + ": QoS is 0, 1 or 2");
  }
  return kv::Status::ok();
}

// Sends `order` for broker `ref` once the broker is found. Success prints
// nothing, as with the everyday tools.
template <class Order>
Action sendToBroker(const std::string& ref, Order order) {
  return [ref, order](Session& s) mutable {
    if (int status = findBrokerId(s, ref, order.brokerId)) return status;
    return daemonCommand(s, svc::encode(order));
  };
}

kv::Status readPayloadFile(const std::string& path, std::string& payload) {
  FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!file) return kv::Status::fromErrno("-f " + path, errno);
  char buffer[4096];
  size_t n = 0;
  payload.clear();
  while (payload.size() <= MAX_PAYLOAD_BYTES &&
         (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    payload.append(buffer, n);
  }
  const bool failed = std::ferror(file) != 0;
  if (file != stdin) std::fclose(file);
  if (payload.size() > MAX_PAYLOAD_BYTES) {
    return kv::Status::tooLarge("-f " + path + ": more than " +
                                std::to_string(MAX_PAYLOAD_BYTES) + " bytes");
  }
  return failed ? kv::Status::io("-f " + path + ": read error") : kv::Status::ok();
}

// ---- prepare() of each verb --------------------------------------------------------

kv::Status prepareConnect(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 1);
  if (st.isOk()) action = sendToBroker(args.words[0], svc::ConnectOrder());
  return st;
}

kv::Status prepareDisconnect(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 1);
  if (st.isOk()) action = sendToBroker(args.words[0], svc::DisconnectOrder());
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
  if (st.isOk() && args.has("file")) st = readPayloadFile(args.value("file"), order.data);
  if (!st.isOk()) return st;
  order.topic = args.words[1];
  order.retain = args.has("retain");
  order.disconnectAfter = args.has("disconnect-after") && !args.has("lines");
  order.connectIfNeeded = !args.has("no-connect");
  order.queueWhileOffline = args.has("outbox");
  if (!args.has("lines")) {
    action = sendToBroker(args.words[0], order);
    return st;
  }
  const std::string ref = args.words[0];
  const bool disconnectAfter = args.has("disconnect-after");
  action = [ref, order, disconnectAfter](Session& s) mutable {
    kv::message broker;
    if (int status = findBroker(s, ref, broker)) return status;
    order.brokerId = rowId(broker);
    return publishLines(s, order, disconnectAfter);
  };
  return st;
}

kv::Status prepareSubscribe(const VerbArgs& args, Action& action) {
  svc::SubscribeOrder order;
  kv::Status st = expectWords(args, 2, 2);
  if (st.isOk()) st = parseQos(args, order.qos);
  if (!st.isOk()) return st;
  order.filter = args.words[1];
  order.connectIfNeeded = !args.has("no-connect");
  action = sendToBroker(args.words[0], order);
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
    kv::message row;
    if (int status = findBrokerId(s, ref, order.brokerId)) return status;
    if (int status = findSubscription(s, order.brokerId, filter, row)) return status;
    order.subscriptionId = rowId(row);
    return daemonCommand(s, svc::encode(order));
  };
  return st;
}

constexpr const char* COMMANDS = "Commands to the daemon";

}  // namespace

int daemonCommand(Session& session, const kv::message& request) {
  CallResult result = session.bus.call(request);
  if (exitStatusFor(result) == EXIT_SUCCESS_REPLY) return EXIT_SUCCESS_REPLY;
  return reportFailure(result, session.output);
}

kv::Status prepareClear(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 0, 0);
  const kv::message request = svc::encode(svc::ClearReceivedOrder());
  action = [request](Session& s) { return daemonCommand(s, request); };
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
        {0, "no-connect", nullptr, "refuse if the broker is not connected"}},
       "The daemon adds a subscription row once the broker has acknowledged it.\n"
       "Watch what arrives with 'mqttctl received watch'.",
       "mqttctl subscribe home 'sensors/#'\nmqttctl subscribe -q 1 home alarms/+",
       prepareSubscribe},
      {"unsubscribe", "BROKER FILTER", "unsubscribe and remove the subscription row", COMMANDS,
       {}, "", "mqttctl unsubscribe home 'sensors/#'", prepareUnsubscribe},
      {"clear", "", "forget every recorded message", COMMANDS, {}, "", "mqttctl clear",
       prepareClear},
  };
  return table;
}

}  // namespace mqttctl
