#include "tools/field_arg.h"

#include <utility>

#include "tools/message_json.h"
#include "tools/names.h"
#include "tools/values.h"

namespace mqttctl {
namespace {

using kv::FieldType;

kv::Status parseBool(const std::string& text, kv::detail::Value& out) {
  if (text == "true" || text == "1") {
    out = uint64_t{1};
  } else if (text == "false" || text == "0") {
    out = uint64_t{0};
  } else {
    return kv::Status::malformed(quoteArg(text) + " is not a bool (true, false, 1 or 0)");
  }
  return kv::Status::ok();
}

kv::Status parseU32List(const std::string& text, kv::detail::Value& out) {
  std::vector<uint32_t> values;
  for (size_t start = 0; start < text.size();) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    uint32_t v = 0;
    kv::Status st = parseU32(text.substr(start, comma - start), v);
    if (!st.isOk())
      return kv::Status::malformed("element " + std::to_string(values.size()) + ": " +
                                   st.message());
    values.push_back(v);
    start = comma + 1;
    if (comma + 1 == text.size()) return kv::Status::malformed("a list ends with ','");
  }
  out = std::move(values);
  return kv::Status::ok();
}

template <typename T>
kv::Status parseScalar(const std::string& text, kv::Status (*parse)(const std::string&, T&),
                       kv::detail::Value& out) {
  T v = 0;
  kv::Status st = parse(text, v);
  if (st.isOk()) out = uint64_t{v};
  return st;
}

kv::Status parseValue(FieldType type, const std::string& text, kv::detail::Value& out) {
  switch (type) {
    case FieldType::Bool:
      return parseBool(text, out);
    case FieldType::U32:
      return parseScalar<uint32_t>(text, parseU32, out);
    case FieldType::Be32:
      return parseScalar<uint32_t>(text, parseBe32, out);
    case FieldType::U64:
      return parseScalar<uint64_t>(text, parseU64, out);
    case FieldType::String: {
      std::string bytes;
      kv::Status st = unescapeBytes(text, bytes);
      out = std::move(bytes);
      return st;
    }
    case FieldType::U32Array:
      return parseU32List(text, out);
    case FieldType::StringArray:
    case FieldType::Message:
    case FieldType::MessageArray:
      return fieldValueFromJson(text, type, out);
  }
  return kv::Status::malformed("unknown field type");
}

kv::Status parseFieldNumber(FieldType type, const std::string& text, uint32_t& num) {
  if (systemFieldFromName(type, text, num)) return kv::Status::ok();
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') return parseU32(text, num);
  return kv::Status::malformed(quoteArg(text) + " is neither a field number nor the name of a " +
                               kv::fieldTypeName(type) + " system field");
}

}  // namespace

kv::Status parseFieldArg(const std::string& arg, kv::detail::Field& out) {
  const std::string syntax = "a field is TYPE:NUMBER=VALUE, got " + quoteArg(arg);
  size_t colon = arg.find(':');
  size_t equals = arg.find('=');
  if (colon == std::string::npos || equals == std::string::npos || equals < colon) {
    return kv::Status::malformed(syntax);
  }
  std::string typeName = arg.substr(0, colon);
  if (!fieldTypeFromName(typeName, out.type)) {
    return kv::Status::malformed("unknown field type " + quoteArg(typeName) +
                                 " (bool u32 be32 u64 string u32a stringa msg msga)");
  }
  kv::Status st = parseFieldNumber(out.type, arg.substr(colon + 1, equals - colon - 1), out.num);
  if (st.isOk()) st = parseValue(out.type, arg.substr(equals + 1), out.value);
  if (!st.isOk()) {
    return kv::Status::malformed("field " + quoteArg(arg.substr(0, equals)) + ": " + st.message());
  }
  return st;
}

bool looksLikeFieldArg(const std::string& arg) {
  size_t colon = arg.find(':');
  kv::FieldType type;
  return colon != std::string::npos && fieldTypeFromName(arg.substr(0, colon), type);
}

void putField(kv::message& msg, kv::detail::Field field) {
  const uint32_t n = field.num;
  kv::detail::Value& v = field.value;
  switch (field.type) {
    case FieldType::Bool:
      msg.set(kv::bool_id(n), std::get<uint64_t>(v) != 0);
      return;
    case FieldType::U32:
      msg.set(kv::u32_id(n), static_cast<uint32_t>(std::get<uint64_t>(v)));
      return;
    case FieldType::Be32:
      msg.set(kv::be32_id(n), static_cast<uint32_t>(std::get<uint64_t>(v)));
      return;
    case FieldType::U64:
      msg.set(kv::u64_id(n), std::get<uint64_t>(v));
      return;
    case FieldType::String:
      msg.set(kv::string_id(n), std::move(std::get<std::string>(v)));
      return;
    case FieldType::U32Array:
      msg.set(kv::u32_array_id(n), std::move(std::get<std::vector<uint32_t>>(v)));
      return;
    case FieldType::StringArray:
      msg.set(kv::string_array_id(n), std::move(std::get<std::vector<std::string>>(v)));
      return;
    case FieldType::Message:
      msg.set(kv::message_id(n), std::move(std::get<std::vector<kv::message>>(v).front()));
      return;
    case FieldType::MessageArray:
      msg.set(kv::message_array_id(n), std::move(std::get<std::vector<kv::message>>(v)));
      return;
  }
}

}  // namespace mqttctl
