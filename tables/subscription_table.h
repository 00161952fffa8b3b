// The subscription table: the topic filters the service keeps subscribed,
// each on one broker, each with an optional on-message script; served on
// the bus as handler 3. It is consulted when a broker accepts a connection
// (every row of that broker is subscribed again), by the subscribe and
// unsubscribe commands, and for every arriving message (collectMatches).
//
// Message form of a row (writeTo order, every field always written; u32 11
// and string 11 are two different fields; contracts/mqtt_tables.h):
//
//   field     type    number  default
//   brokerId  u32     11      0   (0xFFFFFFFF: none, refused by the checks)
//   topic     string  12      ""
//   qos       u32     13      0
//   script    string  11      ""  (empty: no script)
//
// readFrom reads the four fields (a field the message lacks keeps its
// value) and then parses the topic into `path`; path is never read from or
// written to a message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/object.h"
#include "mqtt/topic.h"
#include "tables/typed_table.h"

struct SubscriptionEntry : Object {
  uint32_t brokerId = 0;  // object id of the BrokerEntry; not checked to exist
  std::string topic;      // the topic filter
  uint32_t qos = 0;       // 0, 1 or 2 once accepted
  std::string script;     // source of the on-message script; empty: none
  mqtt::TopicPath path = mqtt::parseTopic("");  // always parseTopic(topic)

  SubscriptionEntry() = default;
  SubscriptionEntry(const SubscriptionEntry&) = default;
  SubscriptionEntry& operator=(const SubscriptionEntry&) = default;

  // Sets topic and path together.
  void setTopic(const std::string& filter);

  void writeTo(kv::message& out) const override;
  void readFrom(const kv::message& in) override;
};

class SubscriptionTable : public TypedTable<SubscriptionEntry> {
 public:
  using TypedTable::TypedTable;

  // Empty when `row` may be stored, else failedMsg with the first failing
  // check: "Topic required", "Broker required" (brokerId 0xFFFFFFFF), "Qos
  // must be 0, 1 or 2", "Invalid topic" (path Invalid), "Topic already
  // subscribed" (another row of the same broker has the same topic bytes).
  // `existing` is the stored row that a set edits (null for an add); the
  // row with its object id never conflicts with the edit.
  kv::message validateSubscription(const SubscriptionEntry& row, const SubscriptionEntry* existing);

  // The first row, in object-id order, of broker `brokerId` whose topic is
  // byte for byte `topic`, skipping the row with object id `skipId`; null
  // when there is none.
  SubscriptionEntry* findSubscription(uint32_t brokerId, const std::string& topic,
                                      uint32_t skipId = Object::NO_ID);

  // Removes the row with object id `id` if the table holds one.
  void removeSubscriptionById(uint32_t id);

  kv::message checkAdd(SubscriptionEntry& row) override;
  kv::message checkSet(SubscriptionEntry& existing, SubscriptionEntry& edited) override;
  // Always allows; removing a subscription row has no side effect (in
  // particular nothing is sent to the broker).
  kv::message checkRemove(SubscriptionEntry& row) override;
  // A stored row: a QoS above 2 is clamped to 2 (read as the full u32, so
  // 256 is 2, not 0); then a row that validateSubscription refuses (empty
  // or invalid topic, no broker, a topic its broker already has) is left
  // out. Each with a warning naming the row.
  LoadedRow checkLoaded(SubscriptionEntry& row) override;
};

// The rows whose filter matches the arriving `topic`, whichever broker they
// belong to, in ascending mqtt::matchKey and at most one row per key: among
// rows with equal keys the one with the lowest object id is kept. The
// pointers are rows of `table`, valid until that table changes.
std::vector<SubscriptionEntry*> collectMatches(const std::string& topic, SubscriptionTable& table);
