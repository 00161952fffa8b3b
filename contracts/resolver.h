// The platform's name-resolution service on the bus: path [14].
//
// Command 3 resolves the host name in string 3. The reply carries the
// first IPv4 address in be32 4 (network order); a name that does not
// resolve gets a failure reply that says why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/message.h"

namespace contract {
namespace resolver {

inline const std::vector<uint32_t> PATH = {14};
constexpr uint32_t RESOLVE_COMMAND = 3;
constexpr kv::string_id HOST_NAME_FIELD{3};
constexpr kv::be32_id ADDRESS_FIELD{4};  // in the reply

// A resolve request for `hostName`.
kv::message encodeResolve(const std::string& hostName);
// The address of a reply, in network order; 0 for an error reply or a
// reply without one.
uint32_t decodeAddress(const kv::message& reply);

}  // namespace resolver
}  // namespace contract
