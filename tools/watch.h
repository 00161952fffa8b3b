// received watch: prints each message as the daemon records it, until
// interrupted.
//
// The daemon keeps received messages in its received-message table
// (handler 4), under increasing object ids. The watch first reads the
// table to learn the last id; from then on it asks, every --interval
// (0.25 s by default), for the rows after the last id it has seen
// (get-all with after-id), follows the pages to the end and prints what
// came, in id order. Since ids only grow, no row is shown twice and none is
// skipped across pages or polls: it prints exactly the messages recorded
// from the moment its first reading ended.
//
// The limit: the table keeps at most 1025 rows and drops the oldest. When
// more messages than that arrive between two polls, or rows are removed
// (clear) before a poll sees them, those rows are gone; the watch notices
// the gap in the ids and says on standard error how many it missed. Ids
// wrap after 4294967294 messages; a watch running across the wrap shows
// nothing more (start it again).
#pragma once

#include <cstdint>
#include <string>

#include "tools/verbs.h"

namespace mqttctl {

constexpr uint32_t DEFAULT_WATCH_INTERVAL_MILLIS = 250;
constexpr uint32_t MIN_WATCH_INTERVAL_MILLIS = 100;

struct WatchOptions {
  std::string broker;  // "": every broker
  std::string topicFilter;  // "": every topic
  uint32_t intervalMillis = DEFAULT_WATCH_INTERVAL_MILLIS;
};

// Runs until the session's pause() is interrupted (status 0) or a request
// fails (its status).
int watchReceived(Session& session, const WatchOptions& options);

// The verb "received watch", in `group` of the overall help.
Verb watchVerb(const char* group);

}  // namespace mqttctl
