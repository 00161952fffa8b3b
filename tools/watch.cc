#include "tools/watch.h"

#include "mqtt/topic.h"
#include "platform/system.h"
#include "tools/rows.h"
#include "tools/show.h"
#include "tools/values.h"
#include "tools/words.h"

namespace mqttctl {

namespace received = contract::received;
namespace {

struct WatchState {
  uint32_t brokerId = 0;  // when watching one broker
  uint32_t lastId = 0;    // the last row seen; 0 before any
  BrokerNames names;
};

kv::message rowsAfter(uint32_t lastId) {
  kv::message request;
  request.set(kv::PATH_FIELD, std::vector<uint32_t>{received::HANDLER});
  request.set(kv::COMMAND_FIELD, kv::CMD_GET_ALL);
  if (lastId) request.set(kv::AFTER_ID_FIELD, lastId);
  return request;
}

void show(Session& s, const kv::message& row, const BrokerNames& names) {
  if (s.output.json) {
    s.output.out << rowJson(receivedWords(), row, names) << "\n";
  } else {
    s.output.out << escapeBytes(row.get(received::TOPIC_FIELD), false) << " "
                 << escapeBytes(row.get(received::DATA_FIELD), false) << "\n";
  }
}

// Shows the new rows that pass the filters; counts the ids that went by
// unseen.
int showNewRows(Session& s, const WatchOptions& options, WatchState& state) {
  std::vector<kv::message> rows;
  if (int status = readRows(s, rowsAfter(state.lastId), rows)) return status;
  uint64_t missed = 0;
  for (const kv::message& row : rows) {
    const uint32_t id = rowId(row);
    if (state.lastId && id > state.lastId + 1) missed += id - state.lastId - 1;
    state.lastId = id;
    if (!options.broker.empty() && row.get(received::BROKER_FIELD) != state.brokerId) continue;
    if (!options.topicFilter.empty() &&
        !mqtt::filterMatches(options.topicFilter, row.get(received::TOPIC_FIELD))) {
      continue;
    }
    if (s.output.json && !state.names.count(row.get(received::BROKER_FIELD))) {
      readBrokerNames(s, state.names);  // a broker added since; best effort
    }
    show(s, row, state.names);
  }
  s.output.out.flush();
  if (missed) {
    fail(s.output, 0, std::to_string(missed) +
                          " message(s) went by unseen: dropped from the table or removed "
                          "before this watch read them");
  }
  return EXIT_SUCCESS_REPLY;
}

kv::Status prepareWatch(const VerbArgs& args, Action& action) {
  WatchOptions options;
  kv::Status st = expectWords(args, 0, 1);
  if (!args.words.empty()) options.broker = args.words[0];
  options.topicFilter = args.value("topic");
  if (st.isOk() && args.has("topic")) st = checkTopicFilter(options.topicFilter);
  if (st.isOk() && args.has("interval")) {
    st = parseSeconds(args.value("interval"), options.intervalMillis);
    if (st.isOk() && options.intervalMillis < MIN_WATCH_INTERVAL_MILLIS) {
      st = kv::Status::malformed("--interval: at least 0.1 seconds");
    }
  }
  action = [options](Session& s) { return watchReceived(s, options); };
  return st;
}

}  // namespace

int watchReceived(Session& s, const WatchOptions& options) {
  WatchState state;
  std::vector<kv::message> rows;
  if (!options.broker.empty()) {
    if (int status = findBrokerId(s, options.broker, state.brokerId)) return status;
  }
  if (s.output.json) {
    if (int status = readBrokerNames(s, state.names)) return status;
  }
  if (int status = readTable(s, received::HANDLER, rows)) return status;
  if (!rows.empty()) state.lastId = rowId(rows.back());
  while (s.bus.pause(options.intervalMillis)) {
    if (int status = showNewRows(s, options, state)) return status;
  }
  return EXIT_SUCCESS_REPLY;
}

Verb watchVerb(const char* group) {
  Verb verb{"received watch", "[BROKER]", "print each message as it is recorded, until Ctrl-C",
            group,
            {{0, "topic", "FILTER", "only topics that FILTER matches (+ and # as in MQTT)"},
             {0, "interval", "SECONDS", "how often to look for new messages (0.25)"}},
            "Prints TOPIC MESSAGE lines (control characters escaped), or with --json one\n"
            "object a line: id, time, broker, broker-id, topic, data. Only messages\n"
            "recorded after it started are shown. It reads the daemon's table of\n"
            "received messages, which keeps the last 1025: messages that go by faster\n"
            "than it polls are reported as missed on standard error.",
            "mqttctl received watch\nmqttctl received watch home --topic 'sensors/#' --json",
            prepareWatch};
  verb.catchesSignals = true;
  return verb;
}

}  // namespace mqttctl
