// Typed fields written on the command line: TYPE:NUMBER=VALUE.
//
//   TYPE    bool u32 be32 u64 string u32a stringa msg msga
//   NUMBER  decimal, 0x hex, or the name of a system field of that type
//           ("string:name=broker1", "u32:object-id=3")
//   VALUE   bool      true, false, 1 or 0
//           u32, u64  decimal or 0x hex
//           be32      dotted IPv4, or a number (0xc0a80101 = 192.168.1.1)
//           string    the bytes as written, with the escapes \n \t \r \\ \"
//                     \0 and \xNN (so any byte, NUL included, can be given)
//           u32a      comma-separated numbers ("1,2,0x10"; empty: no elements)
//           stringa   a JSON array of strings (see message_json.h)
//           msg       a message in the JSON form
//           msga      a JSON array of messages in the JSON form
#pragma once

#include <string>

#include "platform/message.h"
#include "platform/status.h"

namespace mqttctl {

// Parses one TYPE:NUMBER=VALUE argument.
kv::Status parseFieldArg(const std::string& arg, kv::detail::Field& out);

// True when `arg` has the shape of a field argument (a known type name
// before ':'), as opposed to a number such as an object id.
bool looksLikeFieldArg(const std::string& arg);

// Sets `field` in `msg`: replaces the value of an existing field with the
// same type and number in place, or appends it.
void putField(kv::message& msg, kv::detail::Field field);

}  // namespace mqttctl
