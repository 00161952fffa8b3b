// The broker-status view [5] (contracts/broker_status.h) as the console
// shows it: the state column and the last failure in a few words for
// `broker list`, the whole status for `broker show`, a JSON object for
// --json, and the reason a command's "Connection failed" or "Timeout
// occured" adds.
//
// Ages and countdowns ("37 s", "2 min ago") are taken against the row's
// own "read at" time, never the console's clock.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "contracts/broker_status.h"
#include "tools/verbs.h"

namespace mqttctl {

using BrokerStatus = contract::broker_status::BrokerStatus;
using BrokerStatuses = std::map<uint32_t, BrokerStatus>;  // by broker object id

// Every broker's status. Prints what went wrong and returns its exit
// status; 0 when the view was read.
int readStatuses(Session& session, BrokerStatuses& out);
// One broker's status; false, printing nothing, when it cannot be read.
bool readStatus(Session& session, uint32_t brokerId, BrokerStatus& out);

// "idle", "connecting", "connected", "disconnecting", "retrying in 37 s"
// (idle after a failure, an automatic attempt armed), "connecting in 8 s"
// (idle, an automatic attempt armed, no failure since).
std::string stateCell(const BrokerStatus& status);
// The last failure in a few words and its age: "hostname mismatch, 2 min
// ago"; "" when there has been none.
std::string failureCell(const BrokerStatus& status);
// The last failure as a command's reason: the failure's own words, with
// the broker's `address` after them unless they name it already or are
// the broker's own refusal ("Connection refused: not authorised"):
// "certificate verification failed: hostname mismatch (cloud.example.net)".
std::string failureReason(const BrokerStatus& status, const std::string& address);
// Whether the last failure happened within the `elapsedMillis` that a
// command took (to the second, with a second to spare): only then is it
// the command's reason.
bool failedWithin(const BrokerStatus& status, uint64_t elapsedMillis);

// True for the daemon's answers that say only that the connection did not
// come up or the broker did not answer: "Connection failed", "Timeout
// occured". The broker's status says why.
bool needsReason(const std::string& refusal);
// The reason for such an answer to a command on `broker` (its row) that
// took `elapsedMillis`: failureReason of its last failure when that
// happened while the command ran, else "". `status` is filled in when the
// status could be read, and `read` says whether it was.
std::string reasonFor(Session& session, const kv::message& broker, uint64_t elapsedMillis,
                      BrokerStatus& status, bool& read);

// The whole status as "key  value" lines.
void printStatusBlock(std::ostream& out, const BrokerStatus& status);
// The status as one JSON object: times as the daemon's local time in
// seconds, null for "none".
std::string statusJson(const BrokerStatus& status);

// "12 s", "5 min", "3 h", "2 d".
std::string durationText(uint32_t seconds);

}  // namespace mqttctl
