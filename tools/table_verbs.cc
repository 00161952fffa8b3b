// The table verbs: brokers, subscriptions and received messages by name,
// with words for fields (words.h). They are the generic table commands of
// handlers 2, 3 and 4 underneath.
#include <utility>

#include "mqtt/topic.h"
#include "platform/system.h"
#include "tools/input.h"
#include "tools/mqtt_verbs.h"
#include "tools/rows.h"
#include "tools/show.h"
#include "tools/status.h"
#include "tools/stores.h"
#include "tools/values.h"
#include "tools/verbs.h"
#include "tools/watch.h"
#include "tools/words.h"

namespace mqttctl {

namespace brokers = contract::brokers;
namespace subscriptions = contract::subscriptions;
namespace received = contract::received;
namespace {


std::vector<std::string> wordsFrom(const VerbArgs& args, size_t from) {
  return std::vector<std::string>(args.words.begin() + static_cast<long>(from), args.words.end());
}

kv::message tableRequest(uint32_t table, uint32_t command) {
  kv::message request;
  request.set(kv::PATH_FIELD, std::vector<uint32_t>{table});
  request.set(kv::COMMAND_FIELD, command);
  return request;
}

// password=- : the password is typed at the terminal without echo, or is
// the first line of standard input when that is not a terminal, so that
// it does not show in the process list.
kv::Status readPasswordIfAsked(kv::message& fields) {
  const std::string* given = fields.find(brokers::PASSWORD_FIELD);
  if (!given || *given != "-") return kv::Status::ok();
  std::string line;
  kv::Status st = readPassword(0, line);
  if (st.isOk()) fields.set(brokers::PASSWORD_FIELD, line);
  return st;
}

// MQTT 3.1.1 sends a password only after a user name, so brokers close a
// connection that has one without the other. The daemon sends what is
// configured; the operator hears it here rather than as "peer
// disconnected" at the next connection.
void warnOfPasswordWithoutUser(Session& s, const kv::message& broker) {
  if (broker.get(brokers::PASSWORD_FIELD).empty() || !broker.get(brokers::USER_FIELD).empty()) return;
  fail(s.output, 0,
       "warning: a password without a user name: MQTT 3.1.1 allows a password only with a "
       "user name, so brokers refuse the connection (set user=NAME)");
}

// The readable cells of `columns`, a line per row.
std::vector<std::vector<std::string>> cellsOf(const TableWords& words,
                                              const std::vector<kv::message>& rows,
                                              const BrokerNames& names,
                                              const std::vector<std::string>& columns,
                                              const BrokerNames* certificates = nullptr) {
  std::vector<std::vector<std::string>> cells;
  for (const kv::message& row : rows) {
    cells.emplace_back();
    for (const std::string& c : columns) {
      cells.back().push_back(cellOf(words, c.c_str(), row, names, certificates));
    }
  }
  return cells;
}

// Rows in columns, or as a JSON array.
void printRows(Session& s, const TableWords& words, const std::vector<kv::message>& rows,
               const BrokerNames& names, const std::vector<std::string>& columns) {
  if (s.output.json) {
    s.output.out << rowsJson(words, rows, names) << "\n";
    return;
  }
  printColumns(s.output.out, columns, cellsOf(words, rows, names, columns));
}

// The client certificates' names when a row uses one, so that brokers
// show them; null (ids are shown) when none does or the store cannot be
// read.
const BrokerNames* certificateNamesFor(Session& s, const std::vector<kv::message>& brokers,
                                       BrokerNames& names) {
  for (const kv::message& broker : brokers) {
    if (broker.get(brokers::CERTIFICATE_FIELD, brokers::NO_CERTIFICATE) == brokers::NO_CERTIFICATE) continue;
    return readCertificateNames(s, names) ? &names : nullptr;
  }
  return nullptr;
}

// ---- broker ------------------------------------------------------------------------

kv::Status prepareBrokerAdd(const VerbArgs& args, Action& action) {
  kv::message request = tableRequest(brokers::HANDLER, kv::CMD_ADD_OBJ);
  kv::Status st = expectWords(args, 1, SIZE_MAX);
  if (st.isOk()) st = parseAssignments(brokerWords(), wordsFrom(args, 1), request);
  if (st.isOk() && request.has(kv::NAME_FIELD)) {
    st = kv::Status::malformed("the name comes first, not as name=");
  }
  if (st.isOk()) st = readPasswordIfAsked(request);
  if (!st.isOk()) return st;
  request.set(kv::NAME_FIELD, args.words[0]);
  action = [request](Session& s) mutable {
    if (int status = resolveCertificateName(s, request)) return status;
    const int status = sendAdd(s, request);
    if (status == EXIT_SUCCESS_REPLY) warnOfPasswordWithoutUser(s, request);
    return status;
  };
  return st;
}

// A broker row's JSON object, with its status as "status" when there is one.
std::string brokerJson(const kv::message& row, const BrokerStatus* status,
                       const BrokerNames* certificates) {
  std::string object = rowJson(brokerWords(), row, {}, certificates);
  if (!status) return object;
  object.pop_back();
  return object + ",\"status\":" + statusJson(*status) + "}";
}

const BrokerStatus* statusOf(const BrokerStatuses& statuses, const kv::message& row) {
  auto it = statuses.find(rowId(row));
  return it == statuses.end() ? nullptr : &it->second;
}

// The brokers in columns, their settings first, then the state and the
// last failure; or a JSON array.
void printBrokers(Session& s, const std::vector<kv::message>& rows,
                  const BrokerStatuses& statuses, const BrokerNames* certificates) {
  if (s.output.json) {
    std::string array = "[";
    for (const kv::message& row : rows) {
      array += array.size() > 1 ? "," : "";
      array += brokerJson(row, statusOf(statuses, row), certificates);
    }
    s.output.out << array << "]\n";
    return;
  }
  std::vector<std::string> headers = {"id", "name", "address", "port", "ssl", "certificate",
                                      "auto-connect"};
  std::vector<std::vector<std::string>> cells = cellsOf(brokerWords(), rows, {}, headers,
                                                        certificates);
  for (size_t i = 0; i < rows.size(); ++i) {
    const BrokerStatus* status = statusOf(statuses, rows[i]);
    cells[i].push_back(status ? stateCell(*status) : "");
    cells[i].push_back(status ? failureCell(*status) : "");
  }
  headers.insert(headers.end(), {"state", "last-failure"});
  printColumns(s.output.out, headers, cells);
}

kv::Status prepareBrokerList(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 0, 0);
  const bool namesOnly = args.has("names");
  action = [namesOnly](Session& s) {
    std::vector<kv::message> rows;
    BrokerNames certificates;
    BrokerStatuses statuses;
    if (int status = readTable(s, brokers::HANDLER, rows)) return status;
    if (namesOnly && !s.output.json) {
      for (const kv::message& row : rows) {
        s.output.out << cellOf(brokerWords(), "name", row, {}) << "\n";
      }
      return EXIT_SUCCESS_REPLY;
    }
    if (int status = readStatuses(s, statuses)) return status;
    printBrokers(s, rows, statuses, certificateNamesFor(s, rows, certificates));
    return EXIT_SUCCESS_REPLY;
  };
  return st;
}

// Every setting, then (after an empty line) the whole status.
kv::Status prepareBrokerShow(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 1);
  if (!st.isOk()) return st;
  const std::string ref = args.words[0];
  action = [ref](Session& s) {
    kv::message row;
    BrokerNames names;
    BrokerStatus status;
    if (int exit = findBroker(s, ref, row)) return exit;
    const bool withStatus = readStatus(s, rowId(row), status);
    const BrokerNames* certificates = certificateNamesFor(s, {row}, names);
    if (s.output.json) {
      s.output.out << brokerJson(row, withStatus ? &status : nullptr, certificates) << "\n";
      return EXIT_SUCCESS_REPLY;
    }
    printBlock(s.output.out, brokerWords(), row, {}, certificates);
    if (withStatus) {
      s.output.out << "\n";
      printStatusBlock(s.output.out, status);
    }
    return EXIT_SUCCESS_REPLY;
  };
  return st;
}

kv::Status prepareBrokerSet(const VerbArgs& args, Action& action) {
  kv::message fields = tableRequest(brokers::HANDLER, kv::CMD_SET_OBJ);
  kv::Status st = expectWords(args, 2, SIZE_MAX);
  if (st.isOk()) st = parseAssignments(brokerWords(), wordsFrom(args, 1), fields);
  if (st.isOk()) st = readPasswordIfAsked(fields);
  if (!st.isOk()) return st;
  const std::string ref = args.words[0];
  action = [ref, fields](Session& s) {
    kv::message request = fields, row;
    if (int status = findBroker(s, ref, row)) return status;
    if (int status = resolveCertificateName(s, request)) return status;
    request.set(kv::OBJECT_ID_FIELD, rowId(row));
    const int status = sendChange(s, request);
    if (status == EXIT_SUCCESS_REPLY && (request.has(brokers::USER_FIELD) || request.has(brokers::PASSWORD_FIELD))) {
      for (kv::string_id field : {brokers::USER_FIELD, brokers::PASSWORD_FIELD}) {
        if (request.has(field)) row.set(field, request.get(field));
      }
      warnOfPasswordWithoutUser(s, row);
    }
    return status;
  };
  return st;
}

kv::Status prepareBrokerRemove(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 1);
  if (!st.isOk()) return st;
  const std::string ref = args.words[0];
  action = [ref](Session& s) {
    kv::message request = tableRequest(brokers::HANDLER, kv::CMD_REMOVE_OBJ);
    uint32_t id = 0;
    if (int status = findBrokerId(s, ref, id)) return status;
    request.set(kv::OBJECT_ID_FIELD, id);
    return sendChange(s, request);
  };
  return st;
}

// ---- subscription --------------------------------------------------------------------

kv::Status prepareSubscriptionAdd(const VerbArgs& args, Action& action) {
  kv::message fields = tableRequest(subscriptions::HANDLER, kv::CMD_ADD_OBJ);
  kv::Status st = expectWords(args, 2, SIZE_MAX);
  if (st.isOk()) st = parseAssignments(subscriptionWords(), wordsFrom(args, 2), fields);
  if (!st.isOk()) return st;
  const std::string ref = args.words[0];
  fields.set(subscriptions::FILTER_FIELD, args.words[1]);
  action = [ref, fields](Session& s) {
    kv::message request = fields;
    uint32_t brokerId = 0;
    if (int status = findBrokerId(s, ref, brokerId)) return status;
    request.set(subscriptions::BROKER_FIELD, brokerId);
    return sendAdd(s, request);
  };
  return st;
}

// Rows of broker `ref` only, when it is not empty.
int keepBroker(Session& s, const std::string& ref, std::vector<kv::message>& rows,
               kv::u32_id field) {
  if (ref.empty()) return EXIT_SUCCESS_REPLY;
  uint32_t id = 0;
  if (int status = findBrokerId(s, ref, id)) return status;
  std::vector<kv::message> kept;
  for (kv::message& row : rows) {
    if (row.get(field) == id) kept.push_back(std::move(row));
  }
  rows = std::move(kept);
  return EXIT_SUCCESS_REPLY;
}

kv::Status prepareSubscriptionList(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 0, 1);
  const std::string ref = args.words.empty() ? "" : args.words[0];
  action = [ref](Session& s) {
    std::vector<kv::message> rows;
    BrokerNames names;
    if (int status = readTable(s, subscriptions::HANDLER, rows)) return status;
    if (int status = keepBroker(s, ref, rows, subscriptions::BROKER_FIELD)) return status;
    if (int status = readBrokerNames(s, names)) return status;
    printRows(s, subscriptionWords(), rows, names, {"id", "broker", "filter", "qos", "script"});
    return EXIT_SUCCESS_REPLY;
  };
  return st;
}

// subscription remove ID, or subscription remove BROKER FILTER.
kv::Status prepareSubscriptionRemove(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 1, 2);
  uint32_t id = 0;
  if (st.isOk() && args.words.size() == 1) st = parseU32(args.words[0], id);
  if (!st.isOk()) return st;
  const std::vector<std::string> words = args.words;
  action = [words, id](Session& s) {
    kv::message request = tableRequest(subscriptions::HANDLER, kv::CMD_REMOVE_OBJ);
    request.set(kv::OBJECT_ID_FIELD, id);
    if (words.size() == 2) {
      uint32_t brokerId = 0;
      kv::message row;
      if (int status = findBrokerId(s, words[0], brokerId)) return status;
      if (int status = findSubscription(s, brokerId, words[1], row)) return status;
      request.set(kv::OBJECT_ID_FIELD, rowId(row));
    }
    return sendChange(s, request);
  };
  return st;
}

// ---- received --------------------------------------------------------------------------

kv::Status prepareReceivedList(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 0, 1);
  const std::vector<std::string> filters = args.all("topic");
  if (st.isOk()) st = checkTopicFilters(filters);
  if (!st.isOk()) return st;
  const std::string ref = args.words.empty() ? "" : args.words[0];
  action = [ref, filters](Session& s) {
    std::vector<kv::message> rows, shown;
    BrokerNames names;
    if (int status = readTable(s, received::HANDLER, rows)) return status;
    if (int status = keepBroker(s, ref, rows, received::BROKER_FIELD)) return status;
    if (int status = readBrokerNames(s, names)) return status;
    for (kv::message& row : rows) {
      if (topicMatchesAny(filters, row.get(received::TOPIC_FIELD))) {
        shown.push_back(std::move(row));
      }
    }
    printRows(s, receivedWords(), shown, names, {"id", "time", "broker", "topic", "data"});
    return EXIT_SUCCESS_REPLY;
  };
  return st;
}

kv::Status prepareReceivedCount(const VerbArgs& args, Action& action) {
  kv::Status st = expectWords(args, 0, 0);
  action = [](Session& s) {
    CallResult result = s.bus.call(tableRequest(received::HANDLER, kv::CMD_GET_COUNT));
    if (exitStatusFor(result) != EXIT_SUCCESS_REPLY) return reportFailure(result, s.output);
    const std::string n = std::to_string(result.reply.get(kv::COUNT_FIELD));
    s.output.out << (s.output.json ? "{\"count\":" + n + "}" : n) << "\n";
    return EXIT_SUCCESS_REPLY;
  };
  return st;
}

constexpr const char* TABLES = "Brokers, subscriptions and received messages";

std::string brokerKeys() {
  return "KEY=VALUE, any of:\n" + keysHelp(brokerWords()) +
         "yes|no also takes true|false, on|off, 1|0. Values are taken as written.\n"
         "BROKER is a broker's name, or its id.";
}

}  // namespace

const std::vector<Verb>& tableVerbs() {
  static const std::vector<Verb> table = {
      {"broker add", "NAME address=HOST [KEY=VALUE...]", "add a broker", TABLES, {}, brokerKeys(),
       "mqttctl broker add home address=192.168.1.10\n"
       "mqttctl broker add cloud address=mqtt.example.net port=8883 ssl=yes user=me password=-",
       prepareBrokerAdd},
      {"broker list", "", "the brokers, their connection state and last failure", TABLES,
       {{0, "names", nullptr, "only the names, one a line"}},
       "state is idle, connecting, connected, disconnecting, 'retrying in N s' (the\n"
       "last attempt failed; the next automatic one comes then) or 'connecting in N s'.\n"
       "last-failure is the last failure in a few words and how long ago it was;\n"
       "'mqttctl broker show BROKER' has it whole. With --json each broker has a\n"
       "\"status\" object. The password is never shown; with --json it is there for a\n"
       "requester that may write (the daemon leaves it out for read-only users).",
       "mqttctl broker list", prepareBrokerList},
      {"broker show", "BROKER", "every setting and the whole status of one broker", TABLES, {},
       "BROKER is a broker's name, or its id. A password shows as (set). After the\n"
       "settings: the state and since when, the last failure (its text, kind and\n"
       "time), failed attempts in a row, the next automatic attempt, and the\n"
       "messages, bytes and outbox since the daemon started.",
       "mqttctl broker show home", prepareBrokerShow},
      {"broker set", "BROKER KEY=VALUE...", "change a broker's settings", TABLES, {}, brokerKeys(),
       "mqttctl broker set home port=1884 keep-alive=120\nmqttctl broker set home user=",
       prepareBrokerSet},
      {"broker remove", "BROKER", "remove a broker and its subscriptions", TABLES, {},
       "Received messages of the broker stay.", "mqttctl broker remove home",
       prepareBrokerRemove},
      {"subscription add", "BROKER FILTER [qos=N] [script=TEXT]",
       "keep FILTER subscribed on BROKER (from its next connection)", TABLES, {},
       "qos=0|1|2 (0 by default); script=TEXT: the on-message script.\n"
       "The row is subscribed when the broker next connects; to subscribe now, use\n"
       "'mqttctl subscribe'.",
       "mqttctl subscription add home 'sensors/+/temperature' qos=1", prepareSubscriptionAdd},
      {"subscription list", "[BROKER]", "the subscriptions, of one broker or all", TABLES, {}, "",
       "mqttctl subscription list\nmqttctl subscription list home", prepareSubscriptionList},
      {"subscription remove", "ID | BROKER FILTER", "remove a subscription row", TABLES, {},
       "Nothing is sent to the broker; to unsubscribe now, use 'mqttctl unsubscribe'.",
       "mqttctl subscription remove home 'sensors/+/temperature'\nmqttctl subscription remove 7",
       prepareSubscriptionRemove},
      {"received list", "[BROKER]", "the messages recorded so far (at most 1025)", TABLES,
       {{0, "topic", "FILTER", "only topics that FILTER matches (+ and # as in MQTT); repeat it "
                               "for any of several"}}, "",
       "mqttctl received list\nmqttctl received list home --topic 'sensors/#'",
       prepareReceivedList},
      {"received count", "", "how many messages are recorded", TABLES, {}, "",
       "mqttctl received count", prepareReceivedCount},
      {"received clear", "", "forget every recorded message (the same as 'clear')", TABLES, {},
       "", "mqttctl received clear", prepareClear},
      watchVerb(TABLES),
  };
  return table;
}

}  // namespace mqttctl
