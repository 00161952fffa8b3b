// kv::message: the typed message of the local bus.
//
// A message is an ordered list of fields. A field is named by its type and a
// number together, so u32 11 and string 11 are two different fields. Fields
// keep the order in which they were first set: setting an existing field
// replaces its value in place, setting a new one appends it. The order is
// part of the message: it is what the binary encoding writes and what a
// reader iterating over fields() sees.
//
// Values:
//   bool          true / false
//   u32           unsigned 32-bit number
//   be32          32 bits held in network byte order (an IPv4 address as in
//                 in_addr::s_addr); get/set pass the raw in-memory value, so
//                 the bytes are the same on every host
//   u64           unsigned 64-bit number
//   string        a byte string: any byte, NUL included
//   u32 array     sequence of u32
//   string array  sequence of byte strings
//   message       one nested message
//   message array sequence of nested messages
//
// Getters take a default that is returned when the field is absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kv {

enum class FieldType : uint8_t {
  Bool = 1,
  U32 = 2,
  Be32 = 3,
  U64 = 4,
  String = 5,
  U32Array = 6,
  StringArray = 7,
  Message = 8,
  MessageArray = 9,
};

const char* fieldTypeName(FieldType type);
bool isValidFieldType(uint8_t raw);

// The identifier of a field: its type (in the C++ type) and its number.
template <FieldType T>
struct field_id {
  constexpr explicit field_id(uint32_t n) : num(n) {}
  static constexpr FieldType type = T;
  uint32_t num;
};

using bool_id = field_id<FieldType::Bool>;
using u32_id = field_id<FieldType::U32>;
using be32_id = field_id<FieldType::Be32>;
using u64_id = field_id<FieldType::U64>;
using string_id = field_id<FieldType::String>;
using u32_array_id = field_id<FieldType::U32Array>;
using string_array_id = field_id<FieldType::StringArray>;
using message_id = field_id<FieldType::Message>;
using message_array_id = field_id<FieldType::MessageArray>;

class message;

namespace detail {
struct Field;
}

class message {
 public:
  message();
  message(const message&);
  message(message&&) noexcept;
  message& operator=(const message&);
  message& operator=(message&&) noexcept;
  ~message();

  void set(bool_id id, bool value);
  void set(u32_id id, uint32_t value);
  void set(be32_id id, uint32_t networkOrderValue);
  void set(u64_id id, uint64_t value);
  void set(string_id id, std::string value);
  void set(string_id id, const char* value) { set(id, std::string(value)); }
  void set(u32_array_id id, std::vector<uint32_t> value);
  void set(string_array_id id, std::vector<std::string> value);
  void set(message_id id, message value);
  void set(message_array_id id, std::vector<message> value);

  bool get(bool_id id, bool def = false) const;
  uint32_t get(u32_id id, uint32_t def = 0) const;
  uint32_t get(be32_id id, uint32_t def = 0) const;
  uint64_t get(u64_id id, uint64_t def = 0) const;
  std::string get(string_id id, const std::string& def = std::string()) const;
  std::vector<uint32_t> get(u32_array_id id) const;
  std::vector<std::string> get(string_array_id id) const;
  message get(message_id id) const;
  std::vector<message> get(message_array_id id) const;

  // Zero-copy access; nullptr (nullopt) when the field is absent: one scan
  // where has() and get() would take two.
  std::optional<uint32_t> find(u32_id id) const;
  const std::string* find(string_id id) const;
  const std::vector<uint32_t>* find(u32_array_id id) const;
  const std::vector<message>* find(message_array_id id) const;
  const message* find(message_id id) const;

  template <FieldType T>
  bool has(field_id<T> id) const {
    return indexOf(T, id.num) >= 0;
  }
  template <FieldType T>
  bool erase(field_id<T> id) {
    return eraseField(T, id.num);
  }

  bool empty() const;
  size_t size() const;
  void clear();
  const std::vector<detail::Field>& fields() const { return fields_; }

  // Appends a field as decoded; REQUIRES: no field with this type and number.
  void appendRaw(detail::Field field);
  // Appends a field holding the scalar 0, to be filled in place (the
  // decoder's way: no field is built twice); the reference is valid until
  // the next append. REQUIRES: no field with this type and number.
  detail::Field& appendEmpty(FieldType type, uint32_t num);
  // Makes room for `count` fields in all, so that appending them allocates
  // once and exactly (the decoder knows the count before it appends).
  void reserveFields(size_t count);

  bool operator==(const message& other) const;
  bool operator!=(const message& other) const { return !(*this == other); }

 private:
  int indexOf(FieldType type, uint32_t num) const;
  bool eraseField(FieldType type, uint32_t num);
  detail::Field* slot(FieldType type, uint32_t num);
  void noteField(FieldType type, uint32_t num) { mayHave_ |= fieldBit(type, num); }
  static uint64_t fieldBit(FieldType type, uint32_t num);

  std::vector<detail::Field> fields_;
  // One bit per field that may be present, by a hash of its type and
  // number: a field whose bit is clear is absent without a scan. Bits are
  // only ever added (erase leaves them), so a set bit proves nothing; a
  // request asks for several fields that are not there (defaults, the bus's
  // checks), and each of those would otherwise read every field.
  uint64_t mayHave_ = 0;
};

namespace detail {
// Scalars (bool, u32, be32, u64) share the uint64_t alternative; a single
// nested message is a one-element message vector.
using Value = std::variant<uint64_t, std::string, std::vector<uint32_t>,
                           std::vector<std::string>, std::vector<message>>;

struct Field {
  FieldType type;
  uint32_t num;
  Value value;
  bool operator==(const Field& o) const {
    return type == o.type && num == o.num && value == o.value;
  }
};
}  // namespace detail

}  // namespace kv
