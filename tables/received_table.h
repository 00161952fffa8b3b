// The received-message table: one row for every message with a non-empty
// topic that arrives from any broker, whether or not a subscription
// matches it; served on the bus as handler 4. Requesters may read and
// remove rows; only the service adds them (record), and no message changes
// them.
//
// Message form of a row (writeTo order, every field always written; u32 11
// and string 11, string 12 and u32 12 are different fields):
//
//   field     type    number  default
//   brokerId  u32     11      0   (the broker whose client received it)
//   topic     string  12      ""
//   data      string  11      ""  (the payload, every byte, NUL included)
//   time      u32     12      0   (kv::Looper::getLocaltime at reception)
//
// Memory only: the rows are never written to the store and a restart
// starts with an empty table. Messages may arrive hundreds of times a
// second and the router's store is flash, which must not be rewritten for
// each of them; and since readFrom reads nothing, stored rows could only
// come back blank. So recording a message costs no store write at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/object.h"
#include "tables/typed_table.h"

// Rows held before record() drops the first one: the table holds at most
// maxReceivedRows + 1 rows.
constexpr size_t maxReceivedRows = 1024;

struct ReceivedEntry : Object {
  uint32_t brokerId = 0;
  std::string topic;
  std::string data;
  uint32_t time = 0;

  ReceivedEntry() = default;
  ReceivedEntry(const ReceivedEntry&) = default;
  ReceivedEntry& operator=(const ReceivedEntry&) = default;

  void writeTo(kv::message& out) const override;
  // Reads nothing: a received row is what arrived, and stays so.
  void readFrom(const kv::message& in) override;
};

class ReceivedTable : public TypedTable<ReceivedEntry> {
 public:
  using TypedTable::TypedTable;

  // Records one arriving message: when the table holds more than
  // maxReceivedRows rows, the first row in object-id order is removed
  // (until the ids wrap, the oldest); then the new row is added with
  // add(row, true). Returns the new row, which stays valid until it is
  // removed. A message with an empty topic is not recorded: the table is
  // left as it was and the result is null.
  ReceivedEntry* record(uint32_t brokerId, const std::string& topic, const std::string& data,
                        uint32_t time);

  // Removes the first row, in object-id order, until the table is empty.
  void clear();

  // Add and set by command stay refused (the TypedTable default).
  kv::message checkRemove(ReceivedEntry& row) override;

 protected:
  bool storesRows() const override { return false; }
};
