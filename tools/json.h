// The console's JSON, read and written with nlohmann-json (Debian's
// nlohmann-json3-dev, header-only). `Json` keeps object keys in the order
// they are written, so the output's key order is the code's.
//
// The reader accepts RFC 8259 JSON and nothing else: no comments, no
// trailing commas, no single quotes, no duplicate object keys, no invalid
// UTF-8, no lone surrogates, nothing after the document. It is bounded: the
// input size, the nesting depth and the number of values are limited, so a
// hostile file cannot exhaust the memory of a small router. "\u0000" is
// allowed: strings are byte strings and may hold NUL.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/status.h"

namespace mqttctl {
namespace json {

using Json = nlohmann::ordered_json;

constexpr size_t MAX_INPUT_BYTES = 1024 * 1024;
constexpr int MAX_DEPTH = 64;
constexpr size_t MAX_VALUES = 128 * 1024;

// Parses one JSON document. On failure the message says where (byte
// offset) and what is wrong; `out` is then unspecified.
kv::Status parse(const std::string& text, Json& out);

// One line, no spaces. In strings ", \ and control characters are escaped,
// DEL and NUL included (\u007f, \u0000; \n, \r and \t by name), everything
// else is written as it is.
// REQUIRES: every string in `value` is well-formed UTF-8 (see textOrHex).
std::string dump(const Json& value);

// `bytes` as a JSON string when they are UTF-8, else as {"hex":"..."}
// (lower-case digits).
Json textOrHex(const std::string& bytes);

// An unsigned integer from 0 to `max` (no sign, fraction or exponent).
kv::Status toUnsigned(const Json& value, uint64_t max, uint64_t& out);

// Name of a value's kind for error messages ("a number", "an array", ...).
const char* kindName(const Json& value);

}  // namespace json
}  // namespace mqttctl
