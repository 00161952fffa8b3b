#include "tools/message_json.h"

#include <cstdint>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/message_codec.h"
#include "tools/json.h"
#include "tools/names.h"
#include "tools/utf8.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

using json::Json;
using kv::FieldType;
using kv::detail::Field;

// ---- Writer -------------------------------------------------------------------

Json messageJson(const kv::message& msg);

Json valueJson(const Field& f) {
  switch (f.type) {
    case FieldType::Bool:
      return std::get<uint64_t>(f.value) != 0;
    case FieldType::U32:
    case FieldType::U64:
      return std::get<uint64_t>(f.value);
    case FieldType::Be32:
      return ipv4Text(static_cast<uint32_t>(std::get<uint64_t>(f.value)));
    case FieldType::String:
      return std::get<std::string>(f.value);  // UTF-8: fieldJson sends other bytes as hex
    case FieldType::U32Array:
      return std::get<std::vector<uint32_t>>(f.value);
    case FieldType::StringArray: {
      Json items = Json::array();
      for (const std::string& s : std::get<std::vector<std::string>>(f.value)) {
        items.push_back(json::textOrHex(s));
      }
      return items;
    }
    case FieldType::Message:
      return messageJson(std::get<std::vector<kv::message>>(f.value).front());
    case FieldType::MessageArray: {
      Json items = Json::array();
      for (const kv::message& m : std::get<std::vector<kv::message>>(f.value)) {
        items.push_back(messageJson(m));
      }
      return items;
    }
  }
  return nullptr;
}

Json fieldJson(const Field& f) {
  Json out = {{"type", kv::fieldTypeName(f.type)}, {"num", f.num}};
  if (f.type == FieldType::String && !isValidUtf8(std::get<std::string>(f.value))) {
    out["hex"] = hexBytes(std::get<std::string>(f.value));
  } else {
    out["value"] = valueJson(f);
  }
  return out;
}

Json messageJson(const kv::message& msg) {
  Json fields = Json::array();
  for (const Field& f : msg.fields()) fields.push_back(fieldJson(f));
  return fields;
}

// ---- Reader -------------------------------------------------------------------

kv::Status readMessage(const Json& v, int depth, kv::message& out);

kv::Status expected(const char* what, const Json& got) {
  return kv::Status::malformed(std::string("expected ") + what + ", got " + json::kindName(got));
}

// The member `key` of an object, or nullptr.
const Json* member(const Json& v, const char* key) {
  auto it = v.find(key);
  return it == v.end() ? nullptr : &*it;
}

kv::Status readHex(const Json& v, std::string& out) {
  if (!v.is_string()) return expected("a string of hex digits", v);
  const std::string& text = v.get_ref<const std::string&>();
  if (text.size() % 2 != 0) return kv::Status::malformed("hex text has an odd number of digits");
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    std::string pair = "0x" + text.substr(i, 2);
    uint64_t byte = 0;
    if (!parseUnsigned(pair, 255, byte).isOk()) {
      return kv::Status::malformed("hex text has a character that is not a hex digit");
    }
    out.push_back(static_cast<char>(byte));
  }
  return kv::Status::ok();
}

// A stringa element: a string, or an object with exactly the key "hex".
kv::Status readStringElement(const Json& v, std::string& out) {
  if (v.is_string()) {
    out = v.get_ref<const std::string&>();
    return kv::Status::ok();
  }
  if (v.is_object() && v.size() == 1 && member(v, "hex")) return readHex(v.front(), out);
  return expected("a string or {\"hex\":...}", v);
}

kv::Status readNumber(const Json& v, uint64_t max, kv::detail::Value& out) {
  uint64_t n = 0;
  kv::Status st = json::toUnsigned(v, max, n);
  if (st.isOk()) out = n;
  return st;
}

template <typename T, typename ReadOne>
kv::Status readArray(const Json& v, std::vector<T>& out, ReadOne readOne) {
  if (!v.is_array()) return expected("an array", v);
  out.resize(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    kv::Status st = readOne(v[i], out[i]);
    if (!st.isOk())
      return kv::Status::malformed("element " + std::to_string(i) + ": " + st.message());
  }
  return kv::Status::ok();
}

kv::Status readU32Array(const Json& v, kv::detail::Value& out) {
  std::vector<uint32_t> values;
  kv::Status st = readArray(v, values, [](const Json& item, uint32_t& n) {
    uint64_t wide = 0;
    kv::Status s = json::toUnsigned(item, UINT32_MAX, wide);
    n = static_cast<uint32_t>(wide);
    return s;
  });
  out = std::move(values);
  return st;
}

kv::Status readStringArray(const Json& v, kv::detail::Value& out) {
  std::vector<std::string> values;
  kv::Status st = readArray(v, values, readStringElement);
  out = std::move(values);
  return st;
}

kv::Status readMessages(const Json& v, int depth, bool single, kv::detail::Value& out) {
  std::vector<kv::message> values;
  kv::Status st;
  if (single) {
    values.resize(1);
    st = readMessage(v, depth, values[0]);
  } else {
    st = readArray(v, values, [depth](const Json& item, kv::message& m) {
      return readMessage(item, depth, m);
    });
  }
  out = std::move(values);
  return st;
}

// The value of a field of `type` inside a message at `depth`.
kv::Status readValue(const Json& v, FieldType type, int depth, kv::detail::Value& out) {
  switch (type) {
    case FieldType::Bool:
      if (!v.is_boolean()) return expected("true or false", v);
      out = uint64_t{v.get<bool>()};
      return kv::Status::ok();
    case FieldType::U32:
      return readNumber(v, UINT32_MAX, out);
    case FieldType::U64:
      return readNumber(v, UINT64_MAX, out);
    case FieldType::Be32: {
      if (!v.is_string()) return expected("dotted IPv4 text", v);
      uint32_t raw = 0;
      kv::Status st = parseIpv4(v.get_ref<const std::string&>(), raw);
      out = uint64_t{raw};
      return st;
    }
    case FieldType::String:
      if (!v.is_string()) return expected("a string", v);
      out = v.get_ref<const std::string&>();
      return kv::Status::ok();
    case FieldType::U32Array:
      return readU32Array(v, out);
    case FieldType::StringArray:
      return readStringArray(v, out);
    case FieldType::Message:
      return readMessages(v, depth + 1, true, out);
    case FieldType::MessageArray:
      return readMessages(v, depth + 1, false, out);
  }
  return kv::Status::malformed("unknown field type");
}

// The keys of a field object, checked: "type" and "num", and exactly one of
// "value" and "hex" (the latter for strings only).
kv::Status readFieldKeys(const Json& v, FieldType& type, uint32_t& num) {
  if (!v.is_object()) return expected("a field object {\"type\",\"num\",\"value\"}", v);
  for (auto it = v.begin(); it != v.end(); ++it) {
    const std::string& key = it.key();
    if (key != "type" && key != "num" && key != "value" && key != "hex") {
      return kv::Status::malformed("unknown key " + quoteArg(key) + " in a field");
    }
  }
  const Json* typeName = member(v, "type");
  if (!typeName || !typeName->is_string())
    return kv::Status::malformed("a field needs \"type\" (a string)");
  if (!fieldTypeFromName(typeName->get_ref<const std::string&>(), type)) {
    return kv::Status::malformed("unknown field type " +
                                 quoteArg(typeName->get_ref<const std::string&>()));
  }
  const Json* number = member(v, "num");
  if (!number) return kv::Status::malformed("a field needs \"num\"");
  uint64_t wide = 0;
  kv::Status st = json::toUnsigned(*number, UINT32_MAX, wide);
  if (!st.isOk()) return kv::Status::malformed("\"num\": " + st.message());
  num = static_cast<uint32_t>(wide);
  if ((member(v, "value") != nullptr) == (member(v, "hex") != nullptr)) {
    return kv::Status::malformed("a field needs exactly one of \"value\" and \"hex\"");
  }
  if (member(v, "hex") && type != FieldType::String) {
    return kv::Status::malformed("\"hex\" is for string fields only");
  }
  return kv::Status::ok();
}

kv::Status readField(const Json& v, int depth, Field& out) {
  kv::Status st = readFieldKeys(v, out.type, out.num);
  if (!st.isOk()) return st;
  if (const Json* hex = member(v, "hex")) {
    std::string bytes;
    st = readHex(*hex, bytes);
    out.value = std::move(bytes);
  } else {
    st = readValue(*member(v, "value"), out.type, depth, out.value);
  }
  if (!st.isOk()) {
    return kv::Status::malformed(std::string(kv::fieldTypeName(out.type)) + " " +
                                 numberText(out.num) + ": " + st.message());
  }
  return st;
}

kv::Status readMessage(const Json& v, int depth, kv::message& out) {
  if (depth > kv::MAX_MESSAGE_DEPTH) {
    return kv::Status::malformed("messages nested deeper than " +
                                 std::to_string(kv::MAX_MESSAGE_DEPTH));
  }
  if (!v.is_array()) return expected("a message (an array of fields)", v);
  out.clear();
  std::set<std::pair<FieldType, uint32_t>> seen;
  for (size_t i = 0; i < v.size(); ++i) {
    Field f{FieldType::Bool, 0, kv::detail::Value()};
    kv::Status st = readField(v[i], depth, f);
    if (st.isOk() && !seen.emplace(f.type, f.num).second) {
      st = kv::Status::malformed(std::string(kv::fieldTypeName(f.type)) + " " + numberText(f.num) +
                                 " appears twice");
    }
    if (!st.isOk())
      return kv::Status::malformed("field " + std::to_string(i) + ": " + st.message());
    out.appendRaw(std::move(f));
  }
  return kv::Status::ok();
}

}  // namespace

std::string messageToJson(const kv::message& msg) { return json::dump(messageJson(msg)); }

kv::Status messageFromJson(const std::string& text, kv::message& out) {
  Json v;
  kv::Status st = json::parse(text, v);
  if (!st.isOk()) return st;
  return readMessage(v, 0, out);
}

kv::Status fieldValueFromJson(const std::string& text, FieldType type, kv::detail::Value& out) {
  Json v;
  kv::Status st = json::parse(text, v);
  if (!st.isOk()) return st;
  return readValue(v, type, 0, out);
}

}  // namespace mqttctl
