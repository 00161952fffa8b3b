// The broker list as the page shows it: each row of the broker table
// (rows_json.h: brokerToJson) with its live status from the broker-status
// view under "status" (brokerStatusToJson), read one after the other.
//
// A broker without a status row (added between the two reads), or every
// broker when the view cannot be read, has "status": null; the page then
// falls back to the row's own connected flag. Only a failure to read the
// broker table fails the list.
#pragma once

#include <functional>
#include <string>

#include "web/bus_calls.h"
#include "web/rows_json.h"

namespace mqttweb {

// The list, or the failure text that stopped it (and a null list).
using BrokerListReply = std::function<void(Json list, std::string failure)>;

// REQUIRES: `bus` outlives the answer, which comes exactly once.
void readBrokerList(BusCalls& bus, BrokerListReply done);

// The list without the rows' read-at times: what changed when this
// differs between two reads (the read-at time changes every second).
Json withoutReadTimes(Json list);

}  // namespace mqttweb
