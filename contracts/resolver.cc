#include "contracts/resolver.h"

#include "platform/system.h"

namespace contract {
namespace resolver {

kv::message encodeResolve(const std::string& hostName) {
  kv::message request;
  request.set(kv::PATH_FIELD, PATH);
  request.set(kv::COMMAND_FIELD, RESOLVE_COMMAND);
  request.set(HOST_NAME_FIELD, hostName);
  return request;
}

uint32_t decodeAddress(const kv::message& reply) {
  return kv::isError(reply) ? 0 : reply.get(ADDRESS_FIELD, 0);
}

}  // namespace resolver
}  // namespace contract
