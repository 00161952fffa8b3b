// The names the console gives to platform numbers: field types, system
// fields, platform commands and error codes (see platform/system.h).
//
// Names are for people: the readable output shows them next to the numbers,
// and the command line accepts them wherever a number of that kind goes.
// The JSON form never carries them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/message.h"

namespace mqttctl {

// "bool", "u32", "be32", "u64", "string", "u32a", "stringa", "msg", "msga".
bool fieldTypeFromName(const std::string& name, kv::FieldType& type);

// A system field is named by type and number together: u32 0xfe0011 is
// "object-id", string 0xfe0011 has no name.
const char* systemFieldName(kv::FieldType type, uint32_t num);
bool systemFieldFromName(kv::FieldType type, const std::string& name, uint32_t& num);

// Platform commands: "get", "set", "get-all", "add", "count", ...
const char* commandName(uint32_t command);
bool commandFromName(const std::string& name, uint32_t& command);
std::vector<std::string> commandNames();

// Error codes: "unknown-command", "no-such-object", "timeout", ...
const char* errorCodeName(uint32_t code);

}  // namespace mqttctl
