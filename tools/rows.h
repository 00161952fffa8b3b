// Reading table rows over the bus, and finding rows by what people call
// them: a broker by its name or object id, a subscription by its broker
// and filter.
//
// Every function here prints what went wrong (see reportFailure) and
// returns the exit status; 0 means it found what was asked.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "contracts/mqtt_tables.h"
#include "platform/message.h"
#include "platform/status.h"
#include "tools/verbs.h"

namespace mqttctl {

// Most rows a walk gathers over all its pages.
constexpr size_t MAX_LIST_ROWS = 1u << 20;

// Appends the rows of one get-all reply. When the table says that more rows
// follow, points `request` after the last row, whose id must be above the
// previous starting point so that a walk always ends.
kv::Status takePage(const kv::message& reply, std::vector<kv::message>& rows,
                    kv::message& request, bool& more);

// Sends `request` (a get-all, perhaps with AFTER_ID_FIELD) and follows the
// pages to the end, appending every row. A walk that cannot end (more rows
// announced but none sent, no object id on the last row, ids that do not
// increase) is refused with status 1: "bad get-all reply: ...".
int readRows(Session& session, const kv::message& request, std::vector<kv::message>& rows);
// Every row of the table at handler `table`.
int readTable(Session& session, uint32_t table, std::vector<kv::message>& rows);

// The object id of a row (0 when it has none).
uint32_t rowId(const kv::message& row);

// The row among broker rows that `ref` names (see findBroker), or null.
const kv::message* brokerNamed(const std::vector<kv::message>& rows, const std::string& ref);

// The broker row that `ref` names: the row with that name if there is one,
// else the row with that object id. Status 1 and "no broker named ..."
// when there is neither.
int findBroker(Session& session, const std::string& ref, kv::message& broker);
int findBrokerId(Session& session, const std::string& ref, uint32_t& id);

// Broker object id -> name, for showing other tables' rows.
using BrokerNames = std::map<uint32_t, std::string>;
int readBrokerNames(Session& session, BrokerNames& names);
// The name of broker `id`, or "#ID" when no broker row has that id.
std::string brokerName(const BrokerNames& names, uint32_t id);

// The subscription row of broker `brokerId` whose filter is `filter`, byte
// for byte. Status 1 and "the broker has no subscription to ..." when
// there is none.
int findSubscription(Session& session, uint32_t brokerId, const std::string& filter,
                     kv::message& row);

}  // namespace mqttctl
