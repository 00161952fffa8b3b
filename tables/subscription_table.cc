#include "tables/subscription_table.h"

#include <map>

#include "base/log.h"
#include "contracts/mqtt_tables.h"

void SubscriptionEntry::setTopic(const std::string& filter) {
  topic = filter;
  path = mqtt::parseTopic(topic);
}

namespace row = contract::subscriptions;

void SubscriptionEntry::writeTo(kv::message& out) const {
  out.set(row::BROKER_FIELD, brokerId);
  out.set(row::FILTER_FIELD, topic);
  out.set(row::QOS_FIELD, qos);
  out.set(row::SCRIPT_FIELD, script);
}

void SubscriptionEntry::readFrom(const kv::message& in) {
  brokerId = in.get(row::BROKER_FIELD, brokerId);
  topic = in.get(row::FILTER_FIELD, topic);
  qos = in.get(row::QOS_FIELD, qos);
  script = in.get(row::SCRIPT_FIELD, script);
  path = mqtt::parseTopic(topic);
}

kv::message SubscriptionTable::validateSubscription(const SubscriptionEntry& row,
                                                    const SubscriptionEntry* existing) {
  if (row.topic.empty()) return kv::failedMsg("Topic required");
  if (row.brokerId == Object::NO_ID) return kv::failedMsg("Broker required");
  if (row.qos > 2) return kv::failedMsg("Qos must be 0, 1 or 2");
  if (row.path.kind == mqtt::TopicKind::Invalid) return kv::failedMsg("Invalid topic");
  const uint32_t skipId = existing ? existing->id : Object::NO_ID;
  if (findSubscription(row.brokerId, row.topic, skipId)) {
    return kv::failedMsg("Topic already subscribed");
  }
  return kv::message();
}

SubscriptionEntry* SubscriptionTable::findSubscription(uint32_t brokerId, const std::string& topic,
                                                       uint32_t skipId) {
  for (SubscriptionEntry& row : *this) {
    if (row.id != skipId && row.brokerId == brokerId && row.topic == topic) return &row;
  }
  return nullptr;
}

void SubscriptionTable::removeSubscriptionById(uint32_t id) {
  iterator it = find(id);
  if (it != end()) remove(it);
}

kv::message SubscriptionTable::checkAdd(SubscriptionEntry& row) {
  return validateSubscription(row, nullptr);
}

kv::message SubscriptionTable::checkSet(SubscriptionEntry& existing, SubscriptionEntry& edited) {
  return validateSubscription(edited, &existing);
}

kv::message SubscriptionTable::checkRemove(SubscriptionEntry&) { return kv::message(); }

AMap::LoadedRow SubscriptionTable::checkLoaded(SubscriptionEntry& row) {
  LoadedRow verdict = LoadedRow::Keep;
  if (row.qos > 2) {
    logWarning(strprintf("subscription row %u: stored QoS %u clamped to 2", row.id, row.qos));
    row.qos = 2;
    verdict = LoadedRow::Repaired;
  }
  const kv::message refusal = validateSubscription(row, nullptr);
  if (refusal.empty()) return verdict;
  logWarning(strprintf("subscription row %u left out at load: %s", row.id,
                       kv::getError(refusal).c_str()));
  return LoadedRow::Drop;
}

std::vector<SubscriptionEntry*> collectMatches(const std::string& topic, SubscriptionTable& table) {
  const mqtt::TopicPath arriving = mqtt::parseArrivingTopic(topic);
  // Rows are visited in id order and emplace keeps the first row of a key.
  std::map<uint32_t, SubscriptionEntry*> byKey;
  for (SubscriptionEntry& row : table) {
    if (mqtt::topicMatches(arriving, row.path)) byKey.emplace(mqtt::matchKey(row.path), &row);
  }
  std::vector<SubscriptionEntry*> matches;
  matches.reserve(byKey.size());
  for (const auto& entry : byKey) matches.push_back(entry.second);
  return matches;
}
