#include "tools/words.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

#include "contracts/mqtt_tables.h"
#include "platform/system.h"
#include "tools/json.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

using kv::FieldType;
namespace brokers = contract::brokers;
namespace subscriptions = contract::subscriptions;
namespace received = contract::received;

struct Range {
  uint32_t min, max;
  const char* what;
};

Range rangeOf(ValueKind kind) {
  switch (kind) {
    case ValueKind::Port: return {1, 65535, "a port from 1 to 65535"};
    case ValueKind::KeepAlive:
      return {brokers::MIN_KEEP_ALIVE, brokers::MAX_KEEP_ALIVE, "seconds from 30 to 64800"};
    case ValueKind::Qos: return {0, 2, "0, 1 or 2"};
    case ValueKind::Certificate: return {0, NO_CERTIFICATE - 1, "a certificate name or id, or none"};
    default: return {0, UINT32_MAX, "a number from 0 to 4294967295"};
  }
}

bool parseYesNo(const std::string& text, bool& out) {
  std::string lower;
  for (unsigned char c : text) lower.push_back(static_cast<char>(std::tolower(c)));
  const std::set<std::string> yes{"yes", "true", "on", "1"}, no{"no", "false", "off", "0"};
  out = yes.count(lower) != 0;
  return out || no.count(lower) != 0;
}

kv::Status badValue(const Word& word, const std::string& text, const char* expected) {
  return kv::Status::malformed(std::string(word.word) + "=" + escapeBytes(text) + ": expected " +
                               expected);
}

kv::Status parseNumber(const Word& word, const std::string& text, kv::message& out) {
  const Range range = rangeOf(word.kind);
  uint32_t value = NO_CERTIFICATE;
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  if (word.kind == ValueKind::Certificate && !digits && !text.empty() && text != "none") {
    out.set(kv::string_id(word.num), text);  // a name, for the verb to resolve
    return kv::Status::ok();
  }
  if (!(word.kind == ValueKind::Certificate && text == "none")) {
    if (!parseU32(text, value).isOk() || value < range.min || value > range.max) {
      return badValue(word, text, range.what);
    }
  }
  out.set(kv::u32_id(word.num), value);
  return kv::Status::ok();
}

std::string keyList(const TableWords& table) {
  std::string list;
  for (const Word& w : table.words) {
    if (!w.settable) continue;
    list += list.empty() ? "" : ", ";
    list += w.word;
  }
  return list;
}


}  // namespace

const TableWords& brokerWords() {
  static const TableWords table{
      "broker", brokers::HANDLER,
      {
          key("id", kv::OBJECT_ID_FIELD, ValueKind::Count, false),
          key("name", brokers::NAME_FIELD, ValueKind::Text, true, "(set) a new name; unique"),
          key("address", brokers::ADDRESS_FIELD, ValueKind::Text, true,
              "host name or IPv4 address (required)"),
          key("port", brokers::PORT_FIELD, ValueKind::Port, true, "1 to 65535; 1883 by default"),
          key("ssl", brokers::USE_TLS_FIELD, ValueKind::YesNo, true, "connect over TLS"),
          key("auto-connect", brokers::AUTO_CONNECT_FIELD, ValueKind::YesNo, true,
              "the daemon connects by itself"),
          key("connected", brokers::CONNECTED_FIELD, ValueKind::YesNo, false),
          key("keep-alive", brokers::KEEP_ALIVE_FIELD, ValueKind::KeepAlive, true,
              "30 to 64800; 60 by default"),
          key("script-limit", brokers::SCRIPT_LIMIT_FIELD, ValueKind::Count, true,
              "on-message scripts at once; 0: no limit"),
          key("client-id", brokers::CLIENT_ID_FIELD, ValueKind::Text, true,
              "MQTT client identifier; empty: the daemon's default"),
          key("user", brokers::USER_FIELD, ValueKind::Text, true, "user name; empty: none"),
          key("password", brokers::PASSWORD_FIELD, ValueKind::Text, true,
              "empty: none; -: typed without echo, or a line from a pipe", true),
          key("certificate", brokers::CERTIFICATE_FIELD, ValueKind::Certificate, true,
              "client certificate for TLS ('mqttctl cert list')"),
          key("will-topic", brokers::WILL_TOPIC_FIELD, ValueKind::Text, true,
              "Last Will: published for the daemon if its connection dies; empty: none"),
          key("will-message", brokers::WILL_MESSAGE_FIELD, ValueKind::Text, true,
              "the Last Will's message"),
          key("will-qos", brokers::WILL_QOS_FIELD, ValueKind::Qos, true,
              "the Last Will's QoS; 0 by default"),
          key("will-retain", brokers::WILL_RETAIN_FIELD, ValueKind::YesNo, true,
              "the broker keeps the Last Will as a retained message"),
      }};
  return table;
}

const TableWords& subscriptionWords() {
  static const TableWords table{
      "subscription", subscriptions::HANDLER,
      {
          key("id", kv::OBJECT_ID_FIELD, ValueKind::Count, false),
          key("broker", subscriptions::BROKER_FIELD, ValueKind::Broker, false),
          key("filter", subscriptions::FILTER_FIELD, ValueKind::Text, false),
          key("qos", subscriptions::QOS_FIELD, ValueKind::Qos, true, "0, 1 or 2; 0 by default"),
          key("script", subscriptions::SCRIPT_FIELD, ValueKind::Text, true,
              "on-message script; empty: none"),
      }};
  return table;
}

const TableWords& receivedWords() {
  static const TableWords table{
      "received message", received::HANDLER,
      {
          key("id", kv::OBJECT_ID_FIELD, ValueKind::Count, false),
          key("time", received::TIME_FIELD, ValueKind::Time, false),
          key("broker", received::BROKER_FIELD, ValueKind::Broker, false),
          key("topic", received::TOPIC_FIELD, ValueKind::Text, false),
          key("data", received::DATA_FIELD, ValueKind::Text, false),
      }};
  return table;
}

const Word* findWord(const TableWords& table, const std::string& key) {
  for (const Word& w : table.words) {
    if (key == w.word) return &w;
  }
  return nullptr;
}

kv::Status parseWordValue(const Word& word, const std::string& text, kv::message& out) {
  switch (word.type) {
    case FieldType::String:
      out.set(kv::string_id(word.num), text);
      return kv::Status::ok();
    case FieldType::Bool: {
      bool value = false;
      if (!parseYesNo(text, value)) return badValue(word, text, "yes or no");
      out.set(kv::bool_id(word.num), value);
      return kv::Status::ok();
    }
    default:
      return parseNumber(word, text, out);
  }
}

kv::Status parseAssignments(const TableWords& table, const std::vector<std::string>& args,
                            kv::message& out) {
  std::set<std::string> given;
  for (const std::string& arg : args) {
    const size_t eq = arg.find('=');
    const std::string key = arg.substr(0, eq);
    const Word* word = findWord(table, key);
    if (eq == std::string::npos) {
      return kv::Status::malformed(quoteArg(arg) + " is not KEY=VALUE (keys: " + keyList(table) +
                                   ")");
    }
    if (!word || !word->settable) {
      return kv::Status::malformed("unknown key " + quoteArg(key) + " (keys: " + keyList(table) +
                                   ")");
    }
    if (!given.insert(key).second) return kv::Status::malformed(key + " is given twice");
    kv::Status st = parseWordValue(*word, arg.substr(eq + 1), out);
    if (!st.isOk()) return st;
  }
  return kv::Status::ok();
}

std::string keysHelp(const TableWords& table) {
  static const char* const PLACEHOLDERS[] = {"TEXT", "yes|no", "N", "PORT", "SECONDS",
                                             "0|1|2", "NAME|none", "BROKER", "TIME"};
  std::string text;
  for (const Word& w : table.words) {
    if (!w.settable) continue;
    std::string key = std::string("  ") + w.word + "=" + PLACEHOLDERS[static_cast<int>(w.kind)];
    key.resize(std::max<size_t>(key.size() + 2, 22), ' ');
    text += key + w.help + "\n";
  }
  return text;
}

bool rowHas(const Word& word, const kv::message& row) {
  switch (word.type) {
    case FieldType::String: return row.has(kv::string_id(word.num));
    case FieldType::Bool: return row.has(kv::bool_id(word.num));
    default: return row.has(kv::u32_id(word.num));
  }
}

std::string showValue(const Word& word, const kv::message& row) {
  if (!rowHas(word, row)) return word.kind == ValueKind::Certificate ? "none" : "";
  if (word.secret) return "(set)";
  switch (word.type) {
    case FieldType::String: return escapeBytes(row.get(kv::string_id(word.num)), false);
    case FieldType::Bool: return row.get(kv::bool_id(word.num)) ? "yes" : "no";
    default: break;
  }
  const uint32_t value = row.get(kv::u32_id(word.num));
  if (word.kind == ValueKind::Time) return localTimeText(value);
  if (word.kind == ValueKind::Certificate && value == NO_CERTIFICATE) return "none";
  return std::to_string(value);
}

json::Json jsonValue(const Word& word, const kv::message& row) {
  if (word.type == FieldType::String) return json::textOrHex(row.get(kv::string_id(word.num)));
  if (word.type == FieldType::Bool) return row.get(kv::bool_id(word.num));
  const uint32_t value = row.get(kv::u32_id(word.num));
  if (word.kind == ValueKind::Certificate && value == NO_CERTIFICATE) return nullptr;
  return value;
}

std::string localTimeText(uint32_t seconds) {
  // The daemon has already added the zone's offset: read it back as UTC.
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  gmtime_r(&t, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

}  // namespace mqttctl
