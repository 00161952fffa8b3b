// The JSON form of kv::message, written by `mqttctl --json` and read by
// --json-in and by msg, msga and stringa fields on the command line.
//
// A message is an array of its fields, in message order:
//   [{"type":"u32","num":2,"value":1883},
//    {"type":"string","num":16646160,"value":"broker1"}]
// Values by type:
//   bool     true / false
//   u32, u64 a non-negative integer
//   be32     dotted IPv4 text, "192.168.1.1"
//   string   a JSON string when the bytes are valid UTF-8 (NUL and control
//            characters as \u escapes); any other bytes go in "hex"
//            instead of "value": {"type":"string","num":11,"hex":"00ff"}
//   u32a     an array of integers
//   stringa  an array whose elements are JSON strings or, for bytes that
//            are not UTF-8, {"hex":"..."}
//   msg      a nested message (a field array)
//   msga     an array of nested messages
// The reader is strict: unknown keys, a field given twice, wrong value
// types, numbers out of range and nesting beyond kv::MAX_MESSAGE_DEPTH are
// refused with a message that says which field is wrong.
#pragma once

#include <string>
#include <vector>

#include "platform/message.h"
#include "platform/status.h"

namespace mqttctl {

// The JSON form of `msg`, on one line, no spaces.
std::string messageToJson(const kv::message& msg);

// Parses the JSON form of a whole message.
kv::Status messageFromJson(const std::string& text, kv::message& out);

// Parses the value of one field of type `type` in the JSON form (for the
// command line: msg, msga and stringa values); the field belongs to a
// top-level message.
kv::Status fieldValueFromJson(const std::string& text, kv::FieldType type, kv::detail::Value& out);

}  // namespace mqttctl
