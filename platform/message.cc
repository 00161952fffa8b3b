#include "platform/message.h"

#include <algorithm>
#include <utility>

#include "platform/system.h"

namespace kv {

const char* fieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::Bool: return "bool";
    case FieldType::U32: return "u32";
    case FieldType::Be32: return "be32";
    case FieldType::U64: return "u64";
    case FieldType::String: return "string";
    case FieldType::U32Array: return "u32a";
    case FieldType::StringArray: return "stringa";
    case FieldType::Message: return "msg";
    case FieldType::MessageArray: return "msga";
  }
  return "?";
}

bool isValidFieldType(uint8_t raw) {
  return raw >= static_cast<uint8_t>(FieldType::Bool) &&
         raw <= static_cast<uint8_t>(FieldType::MessageArray);
}

message::message() = default;
message::message(const message&) = default;
message::message(message&&) noexcept = default;
message& message::operator=(const message&) = default;
message& message::operator=(message&&) noexcept = default;
message::~message() = default;

// The top 6 bits of a multiplicative hash of the number, the type mixed in.
uint64_t message::fieldBit(FieldType type, uint32_t num) {
  const uint32_t hash = num * 0x9E3779B1u + static_cast<uint32_t>(type) * 0x85EBCA6Bu;
  return uint64_t{1} << (hash >> 26);
}

int message::indexOf(FieldType type, uint32_t num) const {
  if (!(mayHave_ & fieldBit(type, num))) return -1;
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (fields_[i].num == num && fields_[i].type == type) return static_cast<int>(i);
  }
  return -1;
}

detail::Field* message::slot(FieldType type, uint32_t num) {
  int i = indexOf(type, num);
  if (i >= 0) return &fields_[static_cast<size_t>(i)];
  noteField(type, num);
  fields_.push_back(detail::Field{type, num, detail::Value()});
  return &fields_.back();
}

bool message::eraseField(FieldType type, uint32_t num) {
  int i = indexOf(type, num);
  if (i < 0) return false;
  fields_.erase(fields_.begin() + i);
  return true;
}

void message::set(bool_id id, bool value) { slot(id.type, id.num)->value = uint64_t{value}; }
void message::set(u32_id id, uint32_t value) { slot(id.type, id.num)->value = uint64_t{value}; }
void message::set(be32_id id, uint32_t value) { slot(id.type, id.num)->value = uint64_t{value}; }
void message::set(u64_id id, uint64_t value) { slot(id.type, id.num)->value = value; }
void message::set(string_id id, std::string value) {
  slot(id.type, id.num)->value = std::move(value);
}
void message::set(u32_array_id id, std::vector<uint32_t> value) {
  slot(id.type, id.num)->value = std::move(value);
}
void message::set(string_array_id id, std::vector<std::string> value) {
  slot(id.type, id.num)->value = std::move(value);
}
void message::set(message_id id, message value) {
  std::vector<message> one;
  one.push_back(std::move(value));
  slot(id.type, id.num)->value = std::move(one);
}
void message::set(message_array_id id, std::vector<message> value) {
  slot(id.type, id.num)->value = std::move(value);
}

namespace {
template <typename V>
const V* valueOf(const std::vector<detail::Field>& fields, int index) {
  if (index < 0) return nullptr;
  return std::get_if<V>(&fields[static_cast<size_t>(index)].value);
}
}  // namespace

bool message::get(bool_id id, bool def) const {
  const uint64_t* v = valueOf<uint64_t>(fields_, indexOf(id.type, id.num));
  return v ? *v != 0 : def;
}
uint32_t message::get(u32_id id, uint32_t def) const {
  const uint64_t* v = valueOf<uint64_t>(fields_, indexOf(id.type, id.num));
  return v ? static_cast<uint32_t>(*v) : def;
}
uint32_t message::get(be32_id id, uint32_t def) const {
  const uint64_t* v = valueOf<uint64_t>(fields_, indexOf(id.type, id.num));
  return v ? static_cast<uint32_t>(*v) : def;
}
uint64_t message::get(u64_id id, uint64_t def) const {
  const uint64_t* v = valueOf<uint64_t>(fields_, indexOf(id.type, id.num));
  return v ? *v : def;
}
std::string message::get(string_id id, const std::string& def) const {
  const std::string* v = find(id);
  return v ? *v : def;
}
std::vector<uint32_t> message::get(u32_array_id id) const {
  const std::vector<uint32_t>* v = find(id);
  return v ? *v : std::vector<uint32_t>();
}
std::vector<std::string> message::get(string_array_id id) const {
  const auto* v = valueOf<std::vector<std::string>>(fields_, indexOf(id.type, id.num));
  return v ? *v : std::vector<std::string>();
}
message message::get(message_id id) const {
  const message* v = find(id);
  return v ? *v : message();
}
std::vector<message> message::get(message_array_id id) const {
  const std::vector<message>* v = find(id);
  return v ? *v : std::vector<message>();
}

std::optional<uint32_t> message::find(u32_id id) const {
  const uint64_t* v = valueOf<uint64_t>(fields_, indexOf(id.type, id.num));
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}
const std::string* message::find(string_id id) const {
  return valueOf<std::string>(fields_, indexOf(id.type, id.num));
}
const std::vector<uint32_t>* message::find(u32_array_id id) const {
  return valueOf<std::vector<uint32_t>>(fields_, indexOf(id.type, id.num));
}
const std::vector<message>* message::find(message_array_id id) const {
  return valueOf<std::vector<message>>(fields_, indexOf(id.type, id.num));
}
const message* message::find(message_id id) const {
  const auto* v = valueOf<std::vector<message>>(fields_, indexOf(id.type, id.num));
  return (v && !v->empty()) ? &v->front() : nullptr;
}

bool message::empty() const { return fields_.empty(); }
size_t message::size() const { return fields_.size(); }
void message::clear() {
  fields_.clear();
  mayHave_ = 0;
}
void message::appendRaw(detail::Field field) {
  noteField(field.type, field.num);
  fields_.push_back(std::move(field));
}
detail::Field& message::appendEmpty(FieldType type, uint32_t num) {
  noteField(type, num);
  detail::Field& f = fields_.emplace_back();
  f.type = type;
  f.num = num;
  return f;
}
void message::reserveFields(size_t count) { fields_.reserve(count); }

bool message::operator==(const message& other) const { return fields_ == other.fields_; }

// ---- Failure replies --------------------------------------------------------

message failedMsg(const std::string& text) {
  message m;
  m.set(FAILURE_FIELD, text);
  return m;
}

message errorMsg(uint32_t code, const std::string& text) {
  message m;
  m.set(ERROR_CODE_FIELD, code);
  m.set(FAILURE_FIELD, text);
  return m;
}

bool isError(const message& reply) {
  return reply.has(FAILURE_FIELD) || reply.has(ERROR_CODE_FIELD);
}

std::string getError(const message& reply) { return reply.get(FAILURE_FIELD); }

uint32_t getErrorCode(const message& reply) { return reply.get(ERROR_CODE_FIELD); }

}  // namespace kv
