#include "tables/received_table.h"

#include <memory>
#include <utility>

#include "contracts/mqtt_tables.h"

void ReceivedEntry::writeTo(kv::message& out) const {
  namespace row = contract::received;
  out.set(row::BROKER_FIELD, brokerId);
  out.set(row::TOPIC_FIELD, topic);
  out.set(row::DATA_FIELD, data);
  out.set(row::TIME_FIELD, time);
}

void ReceivedEntry::readFrom(const kv::message&) {}

namespace {

// A reused row keeps its buffer unless it is more than twice what the new
// message needs: the table then holds about what its messages take, not
// the largest it ever held.
void assignTight(std::string& to, const std::string& from) {
  if (to.capacity() > 2 * from.size() + 32) std::string().swap(to);
  to = from;
}

}  // namespace

ReceivedEntry* ReceivedTable::record(uint32_t brokerId, const std::string& topic,
                                     const std::string& data, uint32_t time) {
  if (topic.empty()) return nullptr;
  // A full table gives its oldest row to the new message: its strings keep
  // their buffers, so recording allocates nothing once the table is full.
  std::unique_ptr<ReceivedEntry> row = size() > maxReceivedRows ? takeFirst() : nullptr;
  if (!row) row = std::make_unique<ReceivedEntry>();
  row->brokerId = brokerId;
  assignTight(row->topic, topic);
  assignTight(row->data, data);
  row->time = time;
  ReceivedEntry& recorded = *row;
  // Never fails: at most maxReceivedRows + 1 of the 2^32 - 2 ids are in use.
  add(std::move(row), true);
  return &recorded;
}

void ReceivedTable::clear() {
  while (size() > 0) remove(begin());
}

kv::message ReceivedTable::checkRemove(ReceivedEntry&) { return kv::message(); }
