#include "contracts/scripts.h"

#include "platform/system.h"

namespace contract {
namespace scripts {

kv::message encode(const RunOrder& order) {
  std::vector<kv::message> variables;
  variables.reserve(order.variables.size());
  for (const auto& variable : order.variables) {
    kv::message v;
    v.set(VARIABLE_NAME_FIELD, variable.first);
    v.set(VARIABLE_KIND_FIELD, TEXT_VARIABLE);
    v.set(VARIABLE_VALUE_FIELD, variable.second);
    variables.push_back(std::move(v));
  }
  kv::message request;
  request.set(VARIABLES_FIELD, std::move(variables));
  request.set(SCRIPT_FIELD, order.script);
  request.set(kv::PATH_FIELD, PATH);
  request.set(kv::COMMAND_FIELD, RUN_COMMAND);
  request.set(TIME_LIMIT_FIELD, order.timeLimitTicks);
  return request;
}

RunOrder decodeRun(const kv::message& request) {
  RunOrder order;
  order.script = request.get(SCRIPT_FIELD);
  if (const std::vector<kv::message>* variables = request.find(VARIABLES_FIELD)) {
    order.variables.reserve(variables->size());
    for (const kv::message& v : *variables) {
      order.variables.emplace_back(v.get(VARIABLE_NAME_FIELD), v.get(VARIABLE_VALUE_FIELD));
    }
  }
  order.timeLimitTicks = request.get(TIME_LIMIT_FIELD);
  return order;
}

}  // namespace scripts
}  // namespace contract
