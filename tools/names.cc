#include "tools/names.h"

#include "platform/system.h"

namespace mqttctl {
namespace {

struct FieldName {
  kv::FieldType type;
  uint32_t num;
  const char* name;
};

template <kv::FieldType T>
constexpr FieldName named(kv::field_id<T> id, const char* name) {
  return FieldName{T, id.num, name};
}

constexpr FieldName SYSTEM_FIELDS[] = {
    named(kv::PATH_FIELD, "path"),
    named(kv::ORIGIN_FIELD, "origin"),
    named(kv::REQUEST_ID_FIELD, "request-id"),
    named(kv::RIGHTS_FIELD, "rights"),
    named(kv::COMMAND_FIELD, "command"),
    named(kv::ERROR_CODE_FIELD, "error-code"),
    named(kv::FAILURE_FIELD, "failure"),
    named(kv::SOCKET_FIELD, "socket"),
    named(kv::NAME_FIELD, "name"),
    named(kv::OBJECT_ID_FIELD, "object-id"),
    named(kv::ROWS_FIELD, "rows"),
    named(kv::COUNT_FIELD, "count"),
    named(kv::AFTER_ID_FIELD, "after-id"),
    named(kv::MORE_FIELD, "more"),
    named(kv::SERVE_PATH_FIELD, "serve-path"),
};

struct NumberName {
  uint32_t num;
  const char* name;
};

constexpr NumberName COMMANDS[] = {
    {kv::CMD_GET, "get"},
    {kv::CMD_SET, "set"},
    {kv::CMD_RESET, "reset"},
    {kv::CMD_GET_OBJ, "get-obj"},
    {kv::CMD_SET_OBJ, "set-obj"},
    {kv::CMD_GET_ALL, "get-all"},
    {kv::CMD_STOP_GET_ALL, "stop-get-all"},
    {kv::CMD_ADD_OBJ, "add"},
    {kv::CMD_REMOVE_OBJ, "remove"},
    {kv::CMD_MOVE_OBJ, "move"},
    {kv::CMD_GET_COUNT, "count"},
    {kv::CMD_GET_POLICIES, "policies"},
    {kv::CMD_GET_IDENTITY, "identity"},
    {kv::CMD_SHUTDOWN, "shutdown"},
    {kv::CMD_SERVE, "serve"},
};

constexpr NumberName ERROR_CODES[] = {
    {kv::ERR_UNKNOWN_COMMAND, "unknown-command"},
    {kv::ERR_NO_SUCH_OBJECT, "no-such-object"},
    {kv::ERR_NOT_SUPPORTED, "not-supported"},
    {kv::ERR_NOT_ALLOWED, "not-allowed"},
    {kv::ERR_TIMEOUT, "timeout"},
    {kv::ERR_NO_ROUTE, "no-route"},
    {kv::ERR_PEER_GONE, "peer-gone"},
    {kv::ERR_BAD_REQUEST, "bad-request"},
    {kv::ERR_BUSY, "busy"},
};

template <size_t N>
const char* nameOf(const NumberName (&table)[N], uint32_t num) {
  for (const NumberName& entry : table) {
    if (entry.num == num) return entry.name;
  }
  return nullptr;
}

}  // namespace

bool fieldTypeFromName(const std::string& name, kv::FieldType& type) {
  for (uint8_t raw = 0; raw < 255; ++raw) {
    if (!kv::isValidFieldType(raw)) continue;
    if (name == kv::fieldTypeName(static_cast<kv::FieldType>(raw))) {
      type = static_cast<kv::FieldType>(raw);
      return true;
    }
  }
  return false;
}

const char* systemFieldName(kv::FieldType type, uint32_t num) {
  for (const FieldName& entry : SYSTEM_FIELDS) {
    if (entry.type == type && entry.num == num) return entry.name;
  }
  return nullptr;
}

bool systemFieldFromName(kv::FieldType type, const std::string& name, uint32_t& num) {
  for (const FieldName& entry : SYSTEM_FIELDS) {
    if (entry.type == type && name == entry.name) {
      num = entry.num;
      return true;
    }
  }
  return false;
}

const char* commandName(uint32_t command) { return nameOf(COMMANDS, command); }

bool commandFromName(const std::string& name, uint32_t& command) {
  for (const NumberName& entry : COMMANDS) {
    if (name == entry.name) {
      command = entry.num;
      return true;
    }
  }
  return false;
}

std::vector<std::string> commandNames() {
  std::vector<std::string> names;
  for (const NumberName& entry : COMMANDS) names.emplace_back(entry.name);
  return names;
}

const char* errorCodeName(uint32_t code) { return nameOf(ERROR_CODES, code); }

}  // namespace mqttctl
