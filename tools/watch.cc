#include "tools/watch.h"

#include <algorithm>

#include <nlohmann/json.hpp>

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
  uint32_t shown = 0;     // messages printed
  BrokerNames names;
};

kv::message rowsAfter(uint32_t lastId) {
  kv::message request;
  request.set(kv::PATH_FIELD, std::vector<uint32_t>{received::HANDLER});
  request.set(kv::COMMAND_FIELD, kv::CMD_GET_ALL);
  if (lastId) request.set(kv::AFTER_ID_FIELD, lastId);
  return request;
}

void show(Session& s, const WatchOptions& options, const kv::message& row,
          const BrokerNames& names) {
  if (s.output.json) {
    s.output.out << (options.payloadOnly ? json::dump(json::textOrHex(row.get(received::DATA_FIELD)))
                                         : rowJson(receivedWords(), row, names))
                 << "\n";
    return;
  }
  if (!options.payloadOnly) s.output.out << escapeBytes(row.get(received::TOPIC_FIELD), false) << " ";
  s.output.out << escapeBytes(row.get(received::DATA_FIELD), false) << "\n";
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
    if (!topicMatchesAny(options.topicFilters, row.get(received::TOPIC_FIELD))) continue;
    if (options.count && state.shown == options.count) continue;  // done: only count gaps
    if (s.output.json && !options.payloadOnly && !state.names.count(row.get(received::BROKER_FIELD))) {
      readBrokerNames(s, state.names);  // a broker added since; best effort
    }
    show(s, options, row, state.names);
    ++state.shown;
  }
  s.output.out.flush();
  if (missed) {
    fail(s.output, 0, std::to_string(missed) +
                          " message(s) went by unseen: dropped from the table or removed "
                          "before this watch read them");
  }
  return EXIT_SUCCESS_REPLY;
}

// -C N, -W SECONDS and --interval SECONDS.
kv::Status parseLimits(const VerbArgs& args, WatchOptions& options) {
  kv::Status st;
  if (args.has("count") && (!parseU32(args.value("count"), options.count).isOk() || !options.count)) {
    st = kv::Status::malformed("-C " + quoteArg(args.value("count")) + ": a count from 1");
  }
  if (st.isOk() && args.has("time-limit")) {
    st = parseSeconds(args.value("time-limit"), options.limitMillis);
    if (!st.isOk()) st = kv::Status::malformed("-W: " + st.message());
  }
  if (st.isOk() && args.has("interval")) {
    st = parseSeconds(args.value("interval"), options.intervalMillis);
    if (st.isOk() && options.intervalMillis < MIN_WATCH_INTERVAL_MILLIS) {
      st = kv::Status::malformed("--interval: at least 0.1 seconds");
    }
  }
  return st;
}

kv::Status prepareWatch(const VerbArgs& args, Action& action) {
  WatchOptions options;
  kv::Status st = expectWords(args, 0, 1);
  if (!args.words.empty()) options.broker = args.words[0];
  options.topicFilters = args.all("topic");
  options.payloadOnly = args.has("payload-only");
  if (st.isOk()) st = checkTopicFilters(options.topicFilters);
  if (st.isOk()) st = parseLimits(args, options);
  action = [options](Session& s) { return watchReceived(s, options); };
  return st;
}

// The end of a watch that -W stopped.
int timeIsUp(Session& s, const WatchOptions& options, const WatchState& state) {
  if (!options.count || state.shown >= options.count) return EXIT_SUCCESS_REPLY;
  return fail(s.output, EXIT_ERROR_REPLY,
              "time limit: " + std::to_string(state.shown) + " of " +
                  std::to_string(options.count) + " message(s) came within " +
                  secondsText(options.limitMillis) + " s");
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
  const uint64_t start = s.bus.nowMillis();
  if (int status = readTable(s, received::HANDLER, rows)) return status;
  if (!rows.empty()) state.lastId = rowId(rows.back());
  for (;;) {
    uint64_t wait = options.intervalMillis;
    if (options.limitMillis) {
      const uint64_t elapsed = s.bus.nowMillis() - start;
      if (elapsed >= options.limitMillis) return timeIsUp(s, options, state);
      wait = std::min<uint64_t>(wait, options.limitMillis - elapsed);
    }
    if (!s.bus.pause(static_cast<uint32_t>(wait))) return EXIT_SUCCESS_REPLY;
    if (int status = showNewRows(s, options, state)) return status;
    if (options.count && state.shown >= options.count) return EXIT_SUCCESS_REPLY;
  }
}

kv::Status checkTopicFilters(const std::vector<std::string>& filters) {
  for (const std::string& filter : filters) {
    kv::Status st = checkTopicFilter(filter);
    if (!st.isOk()) return st;
  }
  return kv::Status::ok();
}

bool topicMatchesAny(const std::vector<std::string>& filters, const std::string& topic) {
  for (const std::string& filter : filters) {
    if (mqtt::filterMatches(filter, topic)) return true;
  }
  return filters.empty();
}

Verb watchVerb(const char* group) {
  Verb verb{"received watch", "[BROKER]", "print each message as it is recorded, until Ctrl-C",
            group,
            {{0, "topic", "FILTER", "only topics that FILTER matches (+ and # as in MQTT); repeat "
                                    "it for any of several"},
             {'C', "count", "N", "stop after N messages"},
             {'W', "time-limit", "SECONDS", "stop after SECONDS"},
             {0, "payload-only", nullptr, "print the message alone, without its topic"},
             {0, "interval", "SECONDS", "how often to look for new messages (0.25)"}},
            "Prints TOPIC MESSAGE lines (control characters escaped), or with --json one\n"
            "object a line: id, time, broker, broker-id, topic, data (with --payload-only,\n"
            "the data alone). Only messages recorded after it started are shown. It reads\n"
            "the daemon's table of received messages, which keeps the last 1025: messages\n"
            "that go by faster than it polls are reported as missed on standard error.\n"
            "Exit status 0 when interrupted, at -C's count or at -W's limit; 1 when the\n"
            "time limit came before the count.",
            "mqttctl received watch\n"
            "mqttctl received watch home --topic 'sensors/#' --topic 'alarms/#' --json\n"
            "mqttctl received watch -C 1 -W 30 --topic status/router --payload-only",
            prepareWatch};
  verb.catchesSignals = true;
  return verb;
}

}  // namespace mqttctl
