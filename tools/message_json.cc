#include "tools/message_json.h"

#include <cstdint>
#include <set>
#include <utility>

#include "platform/message_codec.h"
#include "tools/json.h"
#include "tools/names.h"
#include "tools/utf8.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

using kv::FieldType;
using kv::detail::Field;

// ---- Writer -------------------------------------------------------------------

void writeHex(std::string& out, const std::string& bytes) {
  static const char DIGITS[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : bytes) {
    unsigned char c = static_cast<unsigned char>(ch);
    out.push_back(DIGITS[c >> 4]);
    out.push_back(DIGITS[c & 15]);
  }
  out.push_back('"');
}

// A stringa element: a JSON string, or {"hex":...} for bytes that are not UTF-8.
void writeStringElement(std::string& out, const std::string& bytes) {
  if (isValidUtf8(bytes)) {
    json::writeString(out, bytes);
    return;
  }
  out += "{\"hex\":";
  writeHex(out, bytes);
  out.push_back('}');
}

template <typename T, typename WriteOne>
void writeArray(std::string& out, const std::vector<T>& items, WriteOne writeOne) {
  out.push_back('[');
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out.push_back(',');
    writeOne(items[i]);
  }
  out.push_back(']');
}

void writeValue(std::string& out, const Field& f) {
  switch (f.type) {
    case FieldType::Bool:
      out += std::get<uint64_t>(f.value) ? "true" : "false";
      return;
    case FieldType::U32:
    case FieldType::U64:
      out += std::to_string(std::get<uint64_t>(f.value));
      return;
    case FieldType::Be32:
      json::writeString(out, ipv4Text(static_cast<uint32_t>(std::get<uint64_t>(f.value))));
      return;
    case FieldType::String:
      json::writeString(out, std::get<std::string>(f.value));
      return;
    case FieldType::U32Array:
      writeArray(out, std::get<std::vector<uint32_t>>(f.value),
                 [&out](uint32_t v) { out += std::to_string(v); });
      return;
    case FieldType::StringArray:
      writeArray(out, std::get<std::vector<std::string>>(f.value),
                 [&out](const std::string& s) { writeStringElement(out, s); });
      return;
    case FieldType::Message:
      writeMessageJson(out, std::get<std::vector<kv::message>>(f.value).front());
      return;
    case FieldType::MessageArray:
      writeArray(out, std::get<std::vector<kv::message>>(f.value),
                 [&out](const kv::message& m) { writeMessageJson(out, m); });
      return;
  }
}

void writeField(std::string& out, const Field& f) {
  out += "{\"type\":\"";
  out += kv::fieldTypeName(f.type);
  out += "\",\"num\":";
  out += std::to_string(f.num);
  if (f.type == FieldType::String && !isValidUtf8(std::get<std::string>(f.value))) {
    out += ",\"hex\":";
    writeHex(out, std::get<std::string>(f.value));
  } else {
    out += ",\"value\":";
    writeValue(out, f);
  }
  out.push_back('}');
}

// ---- Reader -------------------------------------------------------------------

kv::Status readMessage(const json::Value& v, int depth, kv::message& out);

kv::Status expected(const char* what, const json::Value& got) {
  return kv::Status::malformed(std::string("expected ") + what + ", got " +
                               json::kindName(got.kind));
}

kv::Status readHex(const json::Value& v, std::string& out) {
  if (!v.isString()) return expected("a string of hex digits", v);
  const std::string& text = v.text;
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
kv::Status readStringElement(const json::Value& v, std::string& out) {
  if (v.isString()) {
    out = v.text;
    return kv::Status::ok();
  }
  if (v.isObject() && v.keys.size() == 1 && v.keys[0] == "hex") return readHex(v.items[0], out);
  return expected("a string or {\"hex\":...}", v);
}

kv::Status readNumber(const json::Value& v, uint64_t max, kv::detail::Value& out) {
  uint64_t n = 0;
  kv::Status st = json::toUnsigned(v, max, n);
  if (st.isOk()) out = n;
  return st;
}

template <typename T, typename ReadOne>
kv::Status readArray(const json::Value& v, std::vector<T>& out, ReadOne readOne) {
  if (!v.isArray()) return expected("an array", v);
  out.resize(v.items.size());
  for (size_t i = 0; i < v.items.size(); ++i) {
    kv::Status st = readOne(v.items[i], out[i]);
    if (!st.isOk())
      return kv::Status::malformed("element " + std::to_string(i) + ": " + st.message());
  }
  return kv::Status::ok();
}

kv::Status readU32Array(const json::Value& v, kv::detail::Value& out) {
  std::vector<uint32_t> values;
  kv::Status st = readArray(v, values, [](const json::Value& item, uint32_t& n) {
    uint64_t wide = 0;
    kv::Status s = json::toUnsigned(item, UINT32_MAX, wide);
    n = static_cast<uint32_t>(wide);
    return s;
  });
  out = std::move(values);
  return st;
}

kv::Status readStringArray(const json::Value& v, kv::detail::Value& out) {
  std::vector<std::string> values;
  kv::Status st = readArray(v, values, readStringElement);
  out = std::move(values);
  return st;
}

kv::Status readMessages(const json::Value& v, int depth, bool single, kv::detail::Value& out) {
  std::vector<kv::message> values;
  kv::Status st;
  if (single) {
    values.resize(1);
    st = readMessage(v, depth, values[0]);
  } else {
    st = readArray(v, values, [depth](const json::Value& item, kv::message& m) {
      return readMessage(item, depth, m);
    });
  }
  out = std::move(values);
  return st;
}

// The value of a field of `type` inside a message at `depth`.
kv::Status readValue(const json::Value& v, FieldType type, int depth, kv::detail::Value& out) {
  switch (type) {
    case FieldType::Bool:
      if (v.kind != json::Value::Kind::True && v.kind != json::Value::Kind::False) {
        return expected("true or false", v);
      }
      out = uint64_t{v.kind == json::Value::Kind::True};
      return kv::Status::ok();
    case FieldType::U32:
      return readNumber(v, UINT32_MAX, out);
    case FieldType::U64:
      return readNumber(v, UINT64_MAX, out);
    case FieldType::Be32: {
      if (!v.isString()) return expected("dotted IPv4 text", v);
      uint32_t raw = 0;
      kv::Status st = parseIpv4(v.text, raw);
      out = uint64_t{raw};
      return st;
    }
    case FieldType::String:
      if (!v.isString()) return expected("a string", v);
      out = v.text;
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
kv::Status readFieldKeys(const json::Value& v, FieldType& type, uint32_t& num) {
  if (!v.isObject()) return expected("a field object {\"type\",\"num\",\"value\"}", v);
  for (const std::string& key : v.keys) {
    if (key != "type" && key != "num" && key != "value" && key != "hex") {
      return kv::Status::malformed("unknown key " + quoteArg(key) + " in a field");
    }
  }
  const json::Value* typeName = v.member("type");
  if (!typeName || !typeName->isString())
    return kv::Status::malformed("a field needs \"type\" (a string)");
  if (!fieldTypeFromName(typeName->text, type)) {
    return kv::Status::malformed("unknown field type " + quoteArg(typeName->text));
  }
  const json::Value* number = v.member("num");
  if (!number) return kv::Status::malformed("a field needs \"num\"");
  uint64_t wide = 0;
  kv::Status st = json::toUnsigned(*number, UINT32_MAX, wide);
  if (!st.isOk()) return kv::Status::malformed("\"num\": " + st.message());
  num = static_cast<uint32_t>(wide);
  if ((v.member("value") != nullptr) == (v.member("hex") != nullptr)) {
    return kv::Status::malformed("a field needs exactly one of \"value\" and \"hex\"");
  }
  if (v.member("hex") && type != FieldType::String) {
    return kv::Status::malformed("\"hex\" is for string fields only");
  }
  return kv::Status::ok();
}

kv::Status readField(const json::Value& v, int depth, Field& out) {
  kv::Status st = readFieldKeys(v, out.type, out.num);
  if (!st.isOk()) return st;
  if (const json::Value* hex = v.member("hex")) {
    std::string bytes;
    st = readHex(*hex, bytes);
    out.value = std::move(bytes);
  } else {
    st = readValue(*v.member("value"), out.type, depth, out.value);
  }
  if (!st.isOk()) {
    return kv::Status::malformed(std::string(kv::fieldTypeName(out.type)) + " " +
                                 numberText(out.num) + ": " + st.message());
  }
  return st;
}

kv::Status readMessage(const json::Value& v, int depth, kv::message& out) {
  if (depth > kv::MAX_MESSAGE_DEPTH) {
    return kv::Status::malformed("messages nested deeper than " +
                                 std::to_string(kv::MAX_MESSAGE_DEPTH));
  }
  if (!v.isArray()) return expected("a message (an array of fields)", v);
  out.clear();
  std::set<std::pair<FieldType, uint32_t>> seen;
  for (size_t i = 0; i < v.items.size(); ++i) {
    Field f{FieldType::Bool, 0, kv::detail::Value()};
    kv::Status st = readField(v.items[i], depth, f);
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

void writeMessageJson(std::string& out, const kv::message& msg) {
  writeArray(out, msg.fields(), [&out](const Field& f) { writeField(out, f); });
}

std::string messageToJson(const kv::message& msg) {
  std::string out;
  writeMessageJson(out, msg);
  return out;
}

kv::Status messageFromJson(const std::string& text, kv::message& out) {
  json::Value v;
  kv::Status st = json::parse(text, v);
  if (!st.isOk()) return st;
  return readMessage(v, 0, out);
}

kv::Status fieldValueFromJson(const std::string& text, FieldType type, kv::detail::Value& out) {
  json::Value v;
  kv::Status st = json::parse(text, v);
  if (!st.isOk()) return st;
  return readValue(v, type, 0, out);
}

}  // namespace mqttctl
