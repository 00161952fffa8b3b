// received watch: prints each message as the daemon records it, until
// interrupted, or until it has printed -C N messages or -W SECONDS have
// passed.
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
#include <vector>

#include "tools/verbs.h"

namespace mqttctl {

constexpr uint32_t DEFAULT_WATCH_INTERVAL_MILLIS = 250;
constexpr uint32_t MIN_WATCH_INTERVAL_MILLIS = 100;

struct WatchOptions {
  std::string broker;  // "": every broker
  std::vector<std::string> topicFilters;  // none: every topic; else any of them
  uint32_t intervalMillis = DEFAULT_WATCH_INTERVAL_MILLIS;
  uint32_t count = 0;        // -C: stop once this many are printed; 0: no limit
  uint32_t limitMillis = 0;  // -W: stop after this long; 0: no limit
  bool payloadOnly = false;  // print the message alone, not its topic
};

// Runs until the session's pause() is interrupted or the count is printed
// (status 0), the time limit passes (0; 1 when a count was asked for and
// not reached), or a request fails (its status).
int watchReceived(Session& session, const WatchOptions& options);

// Checks each of --topic's filters (usage errors).
kv::Status checkTopicFilters(const std::vector<std::string>& filters);
// True when `filters` is empty or one of them matches `topic`.
bool topicMatchesAny(const std::vector<std::string>& filters, const std::string& topic);

// The verb "received watch", in `group` of the overall help.
Verb watchVerb(const char* group);

}  // namespace mqttctl
