// System fields, platform commands and error codes of the local bus, and the
// helpers that build and read failure replies.
//
// Numbers from 0xfe0000 up belong to the platform; every service uses numbers
// below that for its own fields and commands.
#pragma once

#include <cstdint>
#include <string>

#include "platform/message.h"

namespace kv {

// ---- System fields -------------------------------------------------------
// Destination handler path of a request.
constexpr u32_array_id PATH_FIELD{0xff0001};
// Set by the bus on every request it delivers (a sender's own values are
// overwritten): where the reply goes and what the sender may do.
constexpr u32_id ORIGIN_FIELD{0xff0002};      // bus connection id, 0 = this process
constexpr u32_id REQUEST_ID_FIELD{0xff0003};  // the sender's request id
constexpr u32_id RIGHTS_FIELD{0xff0004};      // RIGHT_* bits of the sender
// Command number of a request.
constexpr u32_id COMMAND_FIELD{0xff0007};
// A reply carrying either of these is an error reply.
constexpr u32_id ERROR_CODE_FIELD{0xff0008};
constexpr string_id FAILURE_FIELD{0xff0009};
// A socket descriptor handed over between the service and a platform service.
constexpr u32_id SOCKET_FIELD{0xff0015};
// Table rows: name, object id, and the fields of the generic table commands.
constexpr string_id NAME_FIELD{0xfe0010};
constexpr u32_id OBJECT_ID_FIELD{0xfe0011};
constexpr message_array_id ROWS_FIELD{0xfe0012};  // get-all reply
constexpr u32_id COUNT_FIELD{0xfe0013};           // count reply
constexpr u32_id AFTER_ID_FIELD{0xfe0014};        // get-all: start after this id
constexpr bool_id MORE_FIELD{0xfe0015};           // get-all: more rows follow
constexpr u32_array_id SERVE_PATH_FIELD{0xfe0016};  // bus serve request

// Sender rights (RIGHTS_FIELD bits).
constexpr uint32_t RIGHT_READ = 1;
constexpr uint32_t RIGHT_WRITE = 2;
constexpr uint32_t RIGHTS_ALL = RIGHT_READ | RIGHT_WRITE;

// ---- Platform commands -----------------------------------------------------
constexpr uint32_t CMD_GET = 0xfe0001;          // holder: read the object
constexpr uint32_t CMD_SET = 0xfe0002;          // holder: change the object
constexpr uint32_t CMD_RESET = 0xfe0003;        // holder: back to defaults
constexpr uint32_t CMD_GET_OBJ = 0xfe0004;      // table: one row by id
constexpr uint32_t CMD_SET_OBJ = 0xfe0005;      // table: change one row
constexpr uint32_t CMD_GET_ALL = 0xfe0006;      // table: rows in id order
constexpr uint32_t CMD_STOP_GET_ALL = 0xfe0007; // table: end a get-all walk
constexpr uint32_t CMD_ADD_OBJ = 0xfe0008;      // table: add a row
constexpr uint32_t CMD_REMOVE_OBJ = 0xfe0009;   // table: remove a row
constexpr uint32_t CMD_MOVE_OBJ = 0xfe000a;     // table: reorder (not supported)
constexpr uint32_t CMD_GET_COUNT = 0xfe000b;    // table: number of rows
constexpr uint32_t CMD_GET_POLICIES = 0xfe000c; // handler: its command policies
constexpr uint32_t CMD_GET_IDENTITY = 0xfe000d; // identity service: device id
constexpr uint32_t CMD_SHUTDOWN = 0xfe000e;     // handler: stop (not supported)
constexpr uint32_t CMD_SERVE = 0xfe0020;        // bus: serve a handler path

// ---- Error codes (ERROR_CODE_FIELD) ----------------------------------------
constexpr uint32_t ERR_UNKNOWN_COMMAND = 0xfe0001;
constexpr uint32_t ERR_NO_SUCH_OBJECT = 0xfe0002;
constexpr uint32_t ERR_NOT_SUPPORTED = 0xfe0003;
constexpr uint32_t ERR_NOT_ALLOWED = 0xfe0004;
constexpr uint32_t ERR_TIMEOUT = 0xfe0005;
constexpr uint32_t ERR_NO_ROUTE = 0xfe0006;
constexpr uint32_t ERR_PEER_GONE = 0xfe0007;
constexpr uint32_t ERR_BAD_REQUEST = 0xfe0008;
constexpr uint32_t ERR_BUSY = 0xfe0009;

// A failure reply: the text in FAILURE_FIELD.
message failedMsg(const std::string& text);
// An error reply: a code and a text (which may be empty).
message errorMsg(uint32_t code, const std::string& text);
// True for a failure or an error reply.
bool isError(const message& reply);
// The failure text of a reply ("" when it carries none).
std::string getError(const message& reply);
// The error code of a reply (0 when it carries none).
uint32_t getErrorCode(const message& reply);

}  // namespace kv
