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

ReceivedEntry* ReceivedTable::record(uint32_t brokerId, const std::string& topic,
                                     const std::string& data, uint32_t time) {
  if (topic.empty()) return nullptr;
  if (size() > maxReceivedRows) remove(begin());
  auto row = std::make_unique<ReceivedEntry>();
  row->brokerId = brokerId;
  row->topic = topic;
  row->data = data;
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
