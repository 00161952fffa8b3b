#include "web/rows_json.h"

#include <initializer_list>

#include "platform/system.h"
#include "web/contract.h"

namespace mqttweb {
namespace c = contract;
namespace {

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
  const uint32_t certificate = row.get(c::BROKER_CERTIFICATE, c::NO_CERTIFICATE);
  return Json{{"id", row.get(kv::OBJECT_ID_FIELD)},
              {"name", row.get(kv::NAME_FIELD)},
              {"address", row.get(c::BROKER_ADDRESS)},
              {"port", row.get(c::BROKER_PORT, 1883)},
              {"ssl", row.get(c::BROKER_SSL)},
              {"autoConnect", row.get(c::BROKER_AUTO_CONNECT)},
              {"connected", row.get(c::BROKER_CONNECTED)},
              {"keepAlive", row.get(c::BROKER_KEEP_ALIVE, 60)},
              {"scriptLimit", row.get(c::BROKER_SCRIPT_LIMIT)},
              {"clientId", row.get(c::BROKER_CLIENT_ID)},
              {"user", row.get(c::BROKER_USER)},
              {"passwordSet", !row.get(c::BROKER_PASSWORD).empty()},
              {"certificate", certificate == c::NO_CERTIFICATE ? Json() : Json(certificate)}};
}

Json subscriptionToJson(const kv::message& row) {
  return Json{{"id", row.get(kv::OBJECT_ID_FIELD)},
              {"brokerId", row.get(c::SUBSCRIPTION_BROKER)},
              {"filter", row.get(c::SUBSCRIPTION_FILTER)},
              {"qos", row.get(c::SUBSCRIPTION_QOS)},
              {"script", row.get(c::SUBSCRIPTION_SCRIPT)}};
}

Json receivedToJson(const kv::message& row) {
  Json out = textOrHex(row.get(c::RECEIVED_DATA), MAX_SHOWN_PAYLOAD_BYTES);
  out["id"] = row.get(kv::OBJECT_ID_FIELD);
  out["brokerId"] = row.get(c::RECEIVED_BROKER);
  out["topic"] = row.get(c::RECEIVED_TOPIC);
  out["time"] = row.get(c::RECEIVED_TIME);
  return out;
}

Json storeEntryToJson(const kv::message& row) {
  return Json{{"id", row.get(kv::OBJECT_ID_FIELD)},
              {"subject", row.get(c::STORE_SUBJECT)},
              {"issuer", row.get(c::STORE_ISSUER)},
              {"notAfter", row.get(c::STORE_NOT_AFTER)},
              {"certificates", row.get(c::STORE_CERTIFICATE_COUNT)}};
}

FieldError brokerFromJson(const Json& in, kv::message& out) {
  Form f(in, {"name", "address", "port", "ssl", "autoConnect", "keepAlive", "scriptLimit",
              "clientId", "user", "password", "clearPassword", "certificate"});
  std::string s;
  uint64_t n = 0;
  bool b = false;
  if (f.text("name", s, 256)) out.set(kv::NAME_FIELD, s);
  if (f.text("address", s, 253)) out.set(c::BROKER_ADDRESS, s);
  if (f.number("port", 1, 65535, n)) out.set(c::BROKER_PORT, static_cast<uint32_t>(n));
  if (f.flag("ssl", b)) out.set(c::BROKER_SSL, b);
  if (f.flag("autoConnect", b)) out.set(c::BROKER_AUTO_CONNECT, b);
  if (f.number("keepAlive", 30, 64800, n)) out.set(c::BROKER_KEEP_ALIVE, static_cast<uint32_t>(n));
  if (f.number("scriptLimit", 0, 0xFFFFFFFF, n)) out.set(c::BROKER_SCRIPT_LIMIT, static_cast<uint32_t>(n));
  if (f.text("clientId", s, 256)) out.set(c::BROKER_CLIENT_ID, s);
  if (f.text("user", s, 256)) out.set(c::BROKER_USER, s);
  if (f.text("password", s, 256) && !s.empty()) out.set(c::BROKER_PASSWORD, s);
  if (f.flag("clearPassword", b) && b) {
    if (out.has(c::BROKER_PASSWORD)) f.fail("password", "give a new password or clear it, not both");
    out.set(c::BROKER_PASSWORD, std::string());
  }
  if (in.contains("certificate") && in["certificate"].is_null()) {
    out.set(c::BROKER_CERTIFICATE, c::NO_CERTIFICATE);
  } else if (f.number("certificate", 1, 0xFFFFFFFE, n)) {
    out.set(c::BROKER_CERTIFICATE, static_cast<uint32_t>(n));
  }
  return f.error;
}

FieldError subscribeFromJson(const Json& in, kv::message& command, std::string& script) {
  Form f(in, {"brokerId", "filter", "qos", "script"});
  std::string filter;
  uint64_t n = 0;
  if (f.number("brokerId", 1, 0xFFFFFFFE, n)) command.set(c::SUBSCRIBE_BROKER, static_cast<uint32_t>(n));
  else f.fail("brokerId", "choose a broker");
  if (f.text("filter", filter)) command.set(c::SUBSCRIBE_FILTER, filter);
  if (f.number("qos", 0, 2, n)) command.set(c::SUBSCRIBE_QOS, static_cast<uint32_t>(n));
  f.text("script", script);
  command.set(c::SUBSCRIBE_CONNECT_IF_NEEDED, true);
  return f.error;
}

FieldError subscriptionChangeFromJson(const Json& in, kv::message& out) {
  Form f(in, {"script", "qos"});
  std::string script;
  uint64_t n = 0;
  if (f.text("script", script)) out.set(c::SUBSCRIPTION_SCRIPT, script);
  if (f.number("qos", 0, 2, n)) out.set(c::SUBSCRIPTION_QOS, static_cast<uint32_t>(n));
  return f.error;
}

FieldError publishFromJson(const Json& in, kv::message& command) {
  Form f(in, {"brokerId", "topic", "payload", "qos", "retain"});
  std::string s;
  uint64_t n = 0;
  bool b = false;
  if (f.number("brokerId", 1, 0xFFFFFFFE, n)) command.set(c::PUBLISH_BROKER, static_cast<uint32_t>(n));
  else f.fail("brokerId", "choose a broker");
  if (f.text("topic", s)) command.set(c::PUBLISH_TOPIC, s);
  if (f.text("payload", s, SIZE_MAX)) command.set(c::PUBLISH_DATA, s);
  if (f.number("qos", 0, 2, n)) command.set(c::PUBLISH_QOS, static_cast<uint32_t>(n));
  if (f.flag("retain", b)) command.set(c::PUBLISH_RETAIN, b);
  command.set(c::PUBLISH_CONNECT_IF_NEEDED, true);
  return f.error;
}

FieldError storeEntryFromJson(const Json& in, bool client, kv::message& out) {
  Form f(in, client ? std::initializer_list<const char*>{"certificate", "key"}
                    : std::initializer_list<const char*>{"certificate"});
  std::string s;
  if (f.text("certificate", s, SIZE_MAX) && !s.empty()) out.set(c::STORE_CERTIFICATES, s);
  else f.fail("certificate", "choose a PEM file");
  if (client && f.text("key", s, SIZE_MAX) && !s.empty()) out.set(c::STORE_KEY, s);
  else if (client) f.fail("key", "choose the PEM file of the private key");
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
  };
  for (const auto& f : fields) {
    if (text == f.text) return f.field;
  }
  return "";
}

}  // namespace mqttweb
