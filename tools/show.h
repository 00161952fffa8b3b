// How the table verbs show rows: readable columns and key-value blocks for
// people, JSON objects keyed by the words (words.h) for scripts.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/message.h"
#include "tools/rows.h"
#include "tools/words.h"

namespace mqttctl {

// Prints `cells` (rows of equal length) under `headers`, in columns two
// spaces apart; the last column is not padded. Cells are shown as given:
// the caller escapes them (showValue does).
void printColumns(std::ostream& out, const std::vector<std::string>& headers,
                  const std::vector<std::vector<std::string>>& cells);

// Lines of a key and its value, the values in one column two spaces after
// the longest key.
void printPairs(std::ostream& out, const std::vector<std::vector<std::string>>& lines);

// The readable value of `key` in `row`; a broker reference shows the
// broker's name. A certificate shows its name from `certificates` (client
// certificate id -> name) when given: the id for an entry without a name,
// "ID (not in the store)" for an id the store lacks; without it, the id.
std::string cellOf(const TableWords& table, const char* key, const kv::message& row,
                   const BrokerNames& names, const BrokerNames* certificates = nullptr);

// One row as "key  value" lines, every word of the table that the row has
// (secrets as "(set)").
void printBlock(std::ostream& out, const TableWords& table, const kv::message& row,
                const BrokerNames& names, const BrokerNames* certificates = nullptr);

// One row as a JSON object: {"id":1,"name":"b1",...}, every word the row
// has, in table order; a broker reference as "broker" (its name, null when
// unknown) and "broker-id"; a certificate as its id and, when
// `certificates` names it, "certificate-name". Secrets are included when
// the row carries them (the daemon sends them only to requesters with
// write permission).
std::string rowJson(const TableWords& table, const kv::message& row, const BrokerNames& names,
                    const BrokerNames* certificates = nullptr);

// Rows as one JSON array, on one line.
std::string rowsJson(const TableWords& table, const std::vector<kv::message>& rows,
                     const BrokerNames& names, const BrokerNames* certificates = nullptr);

}  // namespace mqttctl
