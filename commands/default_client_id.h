// The default client identifier: "QX" followed by a value that the
// platform's identity service supplies (path [24, 17], command 0xfe000d,
// string field 13 of the reply).
#pragma once

#include <cstdint>
#include <vector>

// Handler path and command of the identity service.
extern const std::vector<uint32_t> IDENTITY_SERVICE_PATH;
constexpr uint32_t IDENTITY_COMMAND = 0xfe000d;

// The start-up task: asks the identity service (and waits for its answer,
// serving other events meanwhile), sets defaultClientId and logs
// "default client Id [...]". A failure or time-out leaves "QX" alone.
void fetchDefaultClientId();
