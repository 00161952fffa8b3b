// The platform's device identity on the bus: path [24, 17].
//
//   get-identity (0xfe000d)  the identity in string 13: 1 to 21 ASCII
//                            letters and digits
//   get   (0xfe0001)         the same, and string 14 says where it comes
//                            from: "set", "machine-id" or "random"
//   set   (0xfe0002)         string 13 becomes the identity (write permission)
//   reset (0xfe0003)         forgets a set identity (write permission)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/message.h"
#include "platform/system.h"

namespace contract {
namespace identity {

inline const std::vector<uint32_t> PATH = {24, 17};
constexpr uint32_t GET_IDENTITY_COMMAND = kv::CMD_GET_IDENTITY;
constexpr kv::string_id IDENTITY_FIELD{13};
constexpr kv::string_id ORIGIN_FIELD{14};
constexpr size_t MAX_IDENTITY = 21;

}  // namespace identity
}  // namespace contract
