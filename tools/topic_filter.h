// The --topic filter of `received list` and `received watch`: which
// recorded messages to show. It is matched the way a broker matches a
// subscription, so an operator's filter means what it means to
// mosquitto_sub: "+" is exactly one level, "#" (last, alone in its level)
// is the parent level and everything below it ("a/#" matches "a", "a/b"
// and "a/b/c"), and wildcards at the first level do not match topics that
// start with "$". Comparisons are exact bytes.
#pragma once

#include <string>

#include "platform/status.h"

namespace mqttctl {

// Refuses an empty filter, a "#" that is not the whole last level and a
// "+" that is not a whole level.
kv::Status checkTopicFilter(const std::string& filter);

// REQUIRES: checkTopicFilter(filter) is ok.
bool topicFilterMatches(const std::string& filter, const std::string& topic);

}  // namespace mqttctl
