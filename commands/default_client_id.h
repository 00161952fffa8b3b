// The default client identifier: "QX" followed by the device identity
// that the platform's identity service supplies (contracts/identity.h).
#pragma once

#include "platform/looper.h"

// The start-up task: asks the identity service (and waits for its answer,
// serving other events meanwhile), sets defaultClientId and logs
// "default client Id [...]". A failure or time-out leaves "QX" alone.
void fetchDefaultClientId(kv::Looper& loop);
