#include "web/rows_json.h"

#include <initializer_list>

#include "contracts/broker_status.h"
#include "contracts/mqtt_tables.h"
#include "contracts/tls.h"
#include "platform/system.h"

namespace mqttweb {
namespace {

namespace brokers = contract::brokers;
namespace subscriptions = contract::subscriptions;
namespace received = contract::received;
namespace tls = contract::tls;
using contract::NO_ID;

// Reads the keys of one form, checking each against its type and range;
// the first problem is kept in `error`.
class Form {
 public:
  Form(const Json& in, std::initializer_list<const char*> known) : in_(in) {
    for (auto it = in.begin(); it != in.end(); ++it) {
      bool found = false;
      for (const char* k : known) found = found || it.key() == k;
      if (!found) fail(it.key(), "unknown field \"" + it.key() + "\"");
    }
  }

  bool text(const char* key, std::string& out, size_t max = MAX_TEXT_FIELD_BYTES) {
    const Json* v = find(key);
    if (!v) return false;
    if (!v->is_string()) return fail(key, "must be text");
    out = v->get<std::string>();
    if (out.size() > max) return fail(key, "longer than " + std::to_string(max) + " bytes");
    return true;
  }

  bool number(const char* key, uint64_t min, uint64_t max, uint64_t& out) {
    const Json* v = find(key);
    if (!v) return false;
    if (!v->is_number_unsigned() && !(v->is_number_integer() && v->get<int64_t>() >= 0)) {
      return fail(key, "must be a whole number from " + std::to_string(min) + " to " + std::to_string(max));
    }
    out = v->get<uint64_t>();
    if (out < min || out > max) {
      return fail(key, "must be from " + std::to_string(min) + " to " + std::to_string(max));
    }
    return true;
  }

  bool flag(const char* key, bool& out) {
    const Json* v = find(key);
    if (!v) return false;
    if (!v->is_boolean()) return fail(key, "must be true or false");
    out = v->get<bool>();
    return true;
  }

  bool has(const char* key) const { return in_.contains(key); }
  bool fail(const std::string& key, const std::string& text) {
    if (error.ok()) error = FieldError{key, text};
    return false;
  }
  FieldError error;

 private:
  const Json* find(const char* key) {
    auto it = in_.find(key);
    return it == in_.end() || !error.ok() ? nullptr : &*it;
  }
  const Json& in_;
};

Json textOrHex(const std::string& bytes, size_t shown) {
  size_t cut = std::min(bytes.size(), shown);
  // Never cut a UTF-8 sequence in two: back off over continuation bytes.
  for (int i = 0; i < 3 && cut < bytes.size() && cut > 0 &&
                  (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80;
       ++i) {
    --cut;
  }
  const std::string part = bytes.substr(0, cut);
  Json out = Json::object();
  std::string text;
  if (utf8Text(part, text)) {
    out["text"] = text;
  } else {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : part) hex += {digits[b >> 4], digits[b & 15]};
    out["hex"] = hex;
  }
  out["size"] = bytes.size();
  out["truncated"] = cut < bytes.size();
  return out;
}

}  // namespace

bool utf8Text(const std::string& bytes, std::string& out) {
  try {
    Json(bytes).dump();  // the library's own UTF-8 check
  } catch (const Json::type_error&) {
    return false;
  }
  out = bytes;
  return true;
}

std::string dumpJson(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

FieldError parseObject(const std::string& body, Json& out) {
  out = Json::parse(body, nullptr, false);
  if (out.is_discarded()) return {"", "the request body is not valid JSON"};
  if (!out.is_object()) return {"", "the request body must be a JSON object"};
  return {};
}

Json brokerToJson(const kv::message& row) {
  const uint32_t certificate = row.get(brokers::CERTIFICATE_FIELD, brokers::NO_CERTIFICATE);
  return Json{{"id", row.get(kv::OBJECT_ID_FIELD)},
              {"name", row.get(brokers::NAME_FIELD)},
              {"address", row.get(brokers::ADDRESS_FIELD)},
              {"port", row.get(brokers::PORT_FIELD, brokers::DEFAULT_PORT)},
              {"ssl", row.get(brokers::USE_TLS_FIELD)},
              {"autoConnect", row.get(brokers::AUTO_CONNECT_FIELD)},
              {"connected", row.get(brokers::CONNECTED_FIELD)},
              {"keepAlive", row.get(brokers::KEEP_ALIVE_FIELD, brokers::DEFAULT_KEEP_ALIVE)},
              {"scriptLimit", row.get(brokers::SCRIPT_LIMIT_FIELD)},
              {"clientId", row.get(brokers::CLIENT_ID_FIELD)},
              {"user", row.get(brokers::USER_FIELD)},
              {"passwordSet", !row.get(brokers::PASSWORD_FIELD).empty()},
              {"certificate", certificate == brokers::NO_CERTIFICATE ? Json() : Json(certificate)}};
}

Json brokerStatusToJson(const kv::message& row) {
  const contract::broker_status::BrokerStatus s = contract::broker_status::decode(row);
  Json failure;
  if (s.hasFailure()) {
    failure = Json{{"kind", s.failureKindName}, {"text", s.failureText}, {"time", s.failureTime}};
  }
  return Json{{"state", s.stateName()},
              {"since", s.since},
              {"failure", failure},
              {"failedAttempts", s.failedAttempts},
              {"nextAttempt", s.nextAttempt ? Json(s.nextAttempt) : Json()},
              {"outboxMessages", s.outboxMessages},
              {"outboxBytes", s.outboxBytes},
              {"readAt", s.readAt}};
}

Json subscriptionToJson(const kv::message& row) {
  return Json{{"id", row.get(kv::OBJECT_ID_FIELD)},
              {"brokerId", row.get(subscriptions::BROKER_FIELD)},
              {"filter", row.get(subscriptions::FILTER_FIELD)},
              {"qos", row.get(subscriptions::QOS_FIELD)},
              {"script", row.get(subscriptions::SCRIPT_FIELD)}};
}

Json receivedToJson(const kv::message& row) {
  Json out = textOrHex(row.get(received::DATA_FIELD), MAX_SHOWN_PAYLOAD_BYTES);
  out["id"] = row.get(kv::OBJECT_ID_FIELD);
  out["brokerId"] = row.get(received::BROKER_FIELD);
  out["topic"] = row.get(received::TOPIC_FIELD);
  out["time"] = row.get(received::TIME_FIELD);
  return out;
}

Json storeEntryToJson(const kv::message& row) {
  const std::string* name = row.find(tls::ENTRY_NAME_FIELD);
  return Json{{"id", row.get(kv::OBJECT_ID_FIELD)},
              {"name", name ? Json(*name) : Json()},
              {"subject", row.get(tls::CERT_SUBJECT_FIELD)},
              {"issuer", row.get(tls::CERT_ISSUER_FIELD)},
              {"notBefore", row.get(tls::CERT_NOT_BEFORE_FIELD)},
              {"notAfter", row.get(tls::CERT_NOT_AFTER_FIELD)},
              {"fingerprint", row.get(tls::CERT_FINGERPRINT_FIELD)},
              {"certificates", row.get(tls::CERT_COUNT_FIELD)}};
}

FieldError brokerFromJson(const Json& in, kv::message& out) {
  Form f(in, {"name", "address", "port", "ssl", "autoConnect", "keepAlive", "scriptLimit",
              "clientId", "user", "password", "clearPassword", "certificate"});
  std::string s;
  uint64_t n = 0;
  bool b = false;
  if (f.text("name", s, 256)) out.set(brokers::NAME_FIELD, s);
  if (f.text("address", s, 253)) out.set(brokers::ADDRESS_FIELD, s);
  if (f.number("port", 1, 65535, n)) out.set(brokers::PORT_FIELD, static_cast<uint32_t>(n));
  if (f.flag("ssl", b)) out.set(brokers::USE_TLS_FIELD, b);
  if (f.flag("autoConnect", b)) out.set(brokers::AUTO_CONNECT_FIELD, b);
  if (f.number("keepAlive", brokers::MIN_KEEP_ALIVE, brokers::MAX_KEEP_ALIVE, n)) {
    out.set(brokers::KEEP_ALIVE_FIELD, static_cast<uint32_t>(n));
  }
  if (f.number("scriptLimit", 0, UINT32_MAX, n)) {
    out.set(brokers::SCRIPT_LIMIT_FIELD, static_cast<uint32_t>(n));
  }
  if (f.text("clientId", s, 256)) out.set(brokers::CLIENT_ID_FIELD, s);
  if (f.text("user", s, 256)) out.set(brokers::USER_FIELD, s);
  if (f.text("password", s, 256) && !s.empty()) out.set(brokers::PASSWORD_FIELD, s);
  if (f.flag("clearPassword", b) && b) {
    if (out.has(brokers::PASSWORD_FIELD)) f.fail("password", "give a new password or clear it, not both");
    out.set(brokers::PASSWORD_FIELD, std::string());
  }
  if (in.contains("certificate") && in["certificate"].is_null()) {
    out.set(brokers::CERTIFICATE_FIELD, brokers::NO_CERTIFICATE);
  } else if (f.number("certificate", 1, NO_ID - 1, n)) {
    out.set(brokers::CERTIFICATE_FIELD, static_cast<uint32_t>(n));
  }
  return f.error;
}

FieldError subscribeFromJson(const Json& in, svc::SubscribeOrder& order, std::string& script) {
  Form f(in, {"brokerId", "filter", "qos", "script"});
  uint64_t n = 0;
  if (f.number("brokerId", 1, NO_ID - 1, n)) order.brokerId = static_cast<uint32_t>(n);
  else f.fail("brokerId", "choose a broker");
  f.text("filter", order.filter);
  if (f.number("qos", 0, 2, n)) order.qos = static_cast<uint32_t>(n);
  f.text("script", script);
  order.connectIfNeeded = true;
  return f.error;
}

FieldError subscriptionChangeFromJson(const Json& in, kv::message& out) {
  Form f(in, {"script", "qos"});
  std::string script;
  uint64_t n = 0;
  if (f.text("script", script)) out.set(subscriptions::SCRIPT_FIELD, script);
  if (f.number("qos", 0, 2, n)) out.set(subscriptions::QOS_FIELD, static_cast<uint32_t>(n));
  return f.error;
}

FieldError publishFromJson(const Json& in, svc::PublishOrder& order) {
  Form f(in, {"brokerId", "topic", "payload", "qos", "retain", "queueWhileOffline"});
  uint64_t n = 0;
  if (f.number("brokerId", 1, NO_ID - 1, n)) order.brokerId = static_cast<uint32_t>(n);
  else f.fail("brokerId", "choose a broker");
  f.text("topic", order.topic);
  f.text("payload", order.data, SIZE_MAX);
  if (f.number("qos", 0, 2, n)) order.qos = static_cast<uint32_t>(n);
  f.flag("retain", order.retain);
  f.flag("queueWhileOffline", order.queueWhileOffline);
  order.connectIfNeeded = true;
  return f.error;
}

FieldError storeEntryFromJson(const Json& in, bool client, kv::message& out) {
  Form f(in, client ? std::initializer_list<const char*>{"name", "certificate", "key"}
                    : std::initializer_list<const char*>{"name", "certificate"});
  std::string s;
  if (f.text("name", s)) out.set(tls::ENTRY_NAME_FIELD, s);
  else f.fail("name", "give the entry a name");
  if (f.text("certificate", s, SIZE_MAX) && !s.empty()) out.set(tls::CERT_PEM_FIELD, s);
  else f.fail("certificate", "choose a PEM file");
  if (client && f.text("key", s, SIZE_MAX) && !s.empty()) out.set(tls::KEY_PEM_FIELD, s);
  else if (client) f.fail("key", "choose the PEM file of the private key");
  return f.error;
}

FieldError storeNameFromJson(const Json& in, kv::message& out) {
  Form f(in, {"name"});
  std::string s;
  if (f.text("name", s)) out.set(tls::ENTRY_NAME_FIELD, s);
  else f.fail("name", "give the entry a name");
  return f.error;
}

std::string fieldOfRefusal(const std::string& text) {
  static const struct {
    const char* text;
    const char* field;
  } fields[] = {
      {"Broker name required", "name"},     {"Broker name already in use", "name"},
      {"Broker address required", "address"}, {"Broker required", "brokerId"},
      {"No such broker", "brokerId"},       {"Topic required", "topic"},
      {"Invalid topic", "topic"},           {"Topic too long", "topic"},
      {"Must provide topic", "filter"},     {"Invalid topic path", "filter"},
      {"Topic already subscribed", "filter"}, {"Qos must be 0, 1 or 2", "qos"},
      {"Max QoS is 2", "qos"},              {"Message too large", "payload"},
      {"Outbox full", "queueWhileOffline"},
      // The trust store's (platformd's)
      {"name already in use", "name"},
      {"a name is 1 to 64 letters, digits, '.', '_' or '-', starting with a letter or digit", "name"},
      {"a name cannot be a number (numbers are ids)", "name"},
      {"\"none\" is not a name (it means no certificate)", "name"},
      {"no certificate in the PEM text (string 20)", "certificate"},
      {"no unencrypted private key in the PEM text (string 21)", "key"},
      {"the private key does not match the certificate", "key"},
  };
  for (const auto& f : fields) {
    if (text == f.text) return f.field;
  }
  return "";
}

}  // namespace mqttweb
