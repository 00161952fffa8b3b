// The platform's script service on the bus: path [48].
//
// Command 1 runs a script:
//   string 101          the script text, run with /bin/sh -c
//   message array 1104  variables, each a message {string 1 name, u32 2
//                       kind (1: text), string 4 value}
//   u32 117             the time limit in clock ticks; 0 or absent: the
//                       service's default
// The reply comes when the script has exited: success for exit status 0,
// else a failure that says how it ended.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/message.h"

namespace contract {
namespace scripts {

inline const std::vector<uint32_t> PATH = {48};
constexpr uint32_t RUN_COMMAND = 1;
constexpr kv::string_id SCRIPT_FIELD{101};
constexpr kv::message_array_id VARIABLES_FIELD{1104};
constexpr kv::u32_id TIME_LIMIT_FIELD{117};
// Fields of one variable.
constexpr kv::string_id VARIABLE_NAME_FIELD{1};
constexpr kv::u32_id VARIABLE_KIND_FIELD{2};
constexpr kv::string_id VARIABLE_VALUE_FIELD{4};
constexpr uint32_t TEXT_VARIABLE = 1;

struct RunOrder {
  std::string script;
  std::vector<std::pair<std::string, std::string>> variables;  // name, value
  uint32_t timeLimitTicks = 0;
};

kv::message encode(const RunOrder& order);
// What a request carries, as sent: the service checks it.
RunOrder decodeRun(const kv::message& request);

}  // namespace scripts
}  // namespace contract
