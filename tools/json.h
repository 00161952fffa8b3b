// A small, strict JSON reader and the string writer of the console.
//
// The reader accepts RFC 8259 JSON and nothing else: no comments, no
// trailing commas, no single quotes, no duplicate object keys, no invalid
// UTF-8, no lone surrogates, nothing after the document. It is bounded: the
// input size, the nesting depth and the number of values are limited, so a
// hostile file cannot exhaust the stack or the memory of a small router.
// "\u0000" is allowed: strings are byte strings and may hold NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace mqttctl {
namespace json {

constexpr size_t MAX_INPUT_BYTES = 1024 * 1024;
constexpr int MAX_DEPTH = 64;
constexpr size_t MAX_VALUES = 128 * 1024;

struct Value {
  enum class Kind : uint8_t { Null, False, True, Number, String, Array, Object };

  Kind kind = Kind::Null;
  // Number: the literal as written. String: the decoded bytes.
  std::string text;
  // Array: the elements. Object: the member values, in input order.
  std::vector<Value> items;
  // Object: the member keys, parallel to `items`; unique.
  std::vector<std::string> keys;

  // The member `key` of an object, or nullptr.
  const Value* member(const std::string& key) const;
  bool isNumber() const { return kind == Kind::Number; }
  bool isString() const { return kind == Kind::String; }
  bool isArray() const { return kind == Kind::Array; }
  bool isObject() const { return kind == Kind::Object; }
};

// Parses one JSON document. On failure the message says where (byte
// offset) and what is wrong; `out` is then unspecified.
kv::Status parse(const std::string& text, Value& out);

// An integer Number from 0 to `max` (no sign, fraction or exponent).
kv::Status toUnsigned(const Value& value, uint64_t max, uint64_t& out);

// Appends `bytes` as a JSON string literal: ", \ and control characters
// escaped (NUL as \u0000), everything else as is.
// REQUIRES: bytes is well-formed UTF-8 (see isValidUtf8).
void writeString(std::string& out, const std::string& bytes);

// Name of a kind for error messages ("a number", "an array", ...).
const char* kindName(Value::Kind kind);

}  // namespace json
}  // namespace mqttctl
