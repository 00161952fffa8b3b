// The readable form of kv::message, for people.
//
// One line per field: TYPE NUMBER [(NAME)] = VALUE, where NUMBER is decimal
// below 0x10000 and hex above, and NAME is the name of a system field.
//
//   u32 2 = 1883
//   string 0xfe0010 (name) = "broker1"
//   be32 4 = 192.168.1.1
//   u32a 7 = [1, 2, 3]
//   stringa 8 = ["a", "b\x00c"]
//   msg 5 = {
//     u32 1 = 2
//   }
//   msga 0xfe0012 (rows) = [
//     {
//       u32 0xfe0011 (object-id) = 1
//     }
//   ]
// Strings are quoted with the escapes of the command line (see values.h),
// so a value can be copied back into a field argument. u32 values of
// 0x10000 and above also show their hex form, the command and error-code
// fields their names.
#pragma once

#include <ostream>
#include <vector>

#include "platform/message.h"

namespace mqttctl {

// Writes the fields of `msg`, each line indented by 2 * `level` spaces.
void writeReadable(std::ostream& out, const kv::message& msg, int level = 0);

// Rows of a table, one block per row:
//   row 1:
//     u32 0xfe0011 (object-id) = 1
//     string 0xfe0010 (name) = "broker1"
// or "no rows" for none.
void writeReadableRows(std::ostream& out, const std::vector<kv::message>& rows);

}  // namespace mqttctl
