#include "tables/broker_table.h"

#include "mqtt/topic.h"

namespace {

namespace row = contract::brokers;

// A u32 field held in 16 bits keeps its low 16 bits.
uint16_t low16(uint32_t value) { return static_cast<uint16_t>(value & 0xFFFFu); }

uint16_t boundKeepAlive(uint16_t seconds) {
  if (seconds < row::MIN_KEEP_ALIVE) return row::MIN_KEEP_ALIVE;
  if (seconds > row::MAX_KEEP_ALIVE) return row::MAX_KEEP_ALIVE;
  return seconds;
}

}  // namespace

void BrokerEntry::writeTo(kv::message& out) const {
  out.set(row::NAME_FIELD, name);
  out.set(row::ADDRESS_FIELD, address);
  out.set(row::PORT_FIELD, uint32_t{port});
  out.set(row::USE_TLS_FIELD, useSsl);
  out.set(row::AUTO_CONNECT_FIELD, autoConnect);
  out.set(row::CONNECTED_FIELD, connected);
  out.set(row::KEEP_ALIVE_FIELD, uint32_t{keepAlive});
  out.set(row::SCRIPT_LIMIT_FIELD, scriptLimit);
  if (!clientId.empty()) out.set(row::CLIENT_ID_FIELD, clientId);
  if (!user.empty()) out.set(row::USER_FIELD, user);
  if (!password.empty()) out.set(row::PASSWORD_FIELD, password);
  if (certificate != row::NO_CERTIFICATE) out.set(row::CERTIFICATE_FIELD, certificate);
  if (!willTopic.empty()) out.set(row::WILL_TOPIC_FIELD, willTopic);
  if (!willMessage.empty()) out.set(row::WILL_MESSAGE_FIELD, willMessage);
  if (willQos != 0) out.set(row::WILL_QOS_FIELD, willQos);
  if (willRetain) out.set(row::WILL_RETAIN_FIELD, willRetain);
}

// `connected` is the client's to maintain: no message changes it.
void BrokerEntry::readFrom(const kv::message& in) {
  name = in.get(row::NAME_FIELD, name);
  address = in.get(row::ADDRESS_FIELD, address);
  port = low16(in.get(row::PORT_FIELD, port));
  useSsl = in.get(row::USE_TLS_FIELD, useSsl);
  clientId = in.get(row::CLIENT_ID_FIELD, clientId);
  user = in.get(row::USER_FIELD, user);
  password = in.get(row::PASSWORD_FIELD, password);
  certificate = in.get(row::CERTIFICATE_FIELD, certificate);
  autoConnect = in.get(row::AUTO_CONNECT_FIELD, autoConnect);
  scriptLimit = in.get(row::SCRIPT_LIMIT_FIELD, scriptLimit);
  keepAlive = boundKeepAlive(low16(in.get(row::KEEP_ALIVE_FIELD, keepAlive)));
  willTopic = in.get(row::WILL_TOPIC_FIELD, willTopic);
  willMessage = in.get(row::WILL_MESSAGE_FIELD, willMessage);
  willQos = in.get(row::WILL_QOS_FIELD, willQos);
  willRetain = in.get(row::WILL_RETAIN_FIELD, willRetain);
}

kv::message BrokerTable::validateBroker(const BrokerEntry& row) {
  if (row.name.empty()) return kv::failedMsg("Broker name required");
  if (row.address.empty()) return kv::failedMsg("Broker address required");
  if (nameInUse(row.name, row)) return kv::failedMsg("Broker name already in use");
  if (const char* problem = willProblem(row)) return kv::failedMsg(problem);
  return kv::message();
}

// MQTT carries each of these strings behind a 16-bit length.
const char* BrokerTable::willProblem(const BrokerEntry& row) {
  constexpr size_t MAX_STRING = 65535;
  // The empty topic (no will) passes.
  if (row.willTopic.size() > MAX_STRING || !mqtt::isPlainTopic(row.willTopic)) {
    return "Invalid will topic";
  }
  if (row.willQos > 2) return "Will QoS must be 0, 1 or 2";
  if (row.willMessage.size() > MAX_STRING) return "Will message too long";
  return nullptr;
}

bool BrokerTable::nameInUse(const std::string& name, const BrokerEntry& row) {
  for (const BrokerEntry& other : *this) {
    // On a set the stored row that the edit replaces has the edit's id.
    if (&other == &row || other.id == row.id) continue;
    if (other.name == name) return true;
  }
  return false;
}

AMap::LoadedRow BrokerTable::checkLoaded(BrokerEntry& row) {
  if (row.address.empty()) {
    logWarning(strprintf("broker row %u left out at load: Broker address required", row.id));
    return LoadedRow::Drop;
  }
  const bool willCleared = clearLoadedWill(row);
  if (!row.name.empty() && !nameInUse(row.name, row)) {
    return willCleared ? LoadedRow::Repaired : LoadedRow::Keep;
  }
  const std::string suffix = "-" + std::to_string(row.id);
  std::string name = (row.name.empty() ? "broker" : row.name) + suffix;
  while (nameInUse(name, row)) name += suffix;
  logWarning(strprintf("broker row %u: stored name \"%s\" %s; renamed \"%s\"", row.id,
                       row.name.c_str(), row.name.empty() ? "is empty" : "is already in use",
                       name.c_str()));
  row.name = name;
  return LoadedRow::Repaired;
}

bool BrokerTable::clearLoadedWill(BrokerEntry& row) {
  const char* problem = willProblem(row);
  if (!problem) return false;
  logWarning(strprintf("broker row %u: stored will left out: %s", row.id, problem));
  row.willTopic.clear();
  row.willMessage.clear();
  row.willQos = 0;
  row.willRetain = false;
  return true;
}

kv::message BrokerTable::checkAdd(BrokerEntry& row) { return validateBroker(row); }

kv::message BrokerTable::checkSet(BrokerEntry&, BrokerEntry& edited) {
  return validateBroker(edited);
}

void BrokerTable::hideFromReader(kv::message& row) const {
  row.erase(row::PASSWORD_FIELD);
}

kv::message BrokerTable::checkRemove(BrokerEntry& row) {
  if (onRemove) onRemove(row);
  return kv::message();
}

void BrokerTable::rowRemoved(Object& row) {
  if (onRemoved) onRemoved(static_cast<BrokerEntry&>(row));
}

void logBrokerInfo(const BrokerEntry& broker, const std::string& text) {
  logBrokerInfo(broker.name, text);
}

void logBrokerWarning(const BrokerEntry& broker, const std::string& text) {
  logBrokerWarning(broker.name, text);
}

void logBrokerError(const BrokerEntry& broker, const std::string& text) {
  logBrokerError(broker.name, text);
}
