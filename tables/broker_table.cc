#include "tables/broker_table.h"

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
}

kv::message BrokerTable::validateBroker(const BrokerEntry& row) {
  if (row.name.empty()) return kv::failedMsg("Broker name required");
  if (row.address.empty()) return kv::failedMsg("Broker address required");
  if (nameInUse(row.name, row)) return kv::failedMsg("Broker name already in use");
  return kv::message();
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
  if (!row.name.empty() && !nameInUse(row.name, row)) return LoadedRow::Keep;
  const std::string suffix = "-" + std::to_string(row.id);
  std::string name = (row.name.empty() ? "broker" : row.name) + suffix;
  while (nameInUse(name, row)) name += suffix;
  logWarning(strprintf("broker row %u: stored name \"%s\" %s; renamed \"%s\"", row.id,
                       row.name.c_str(), row.name.empty() ? "is empty" : "is already in use",
                       name.c_str()));
  row.name = name;
  return LoadedRow::Repaired;
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

void logBrokerInfo(const BrokerEntry& broker, const std::string& text) {
  logBrokerInfo(broker.name, text);
}

void logBrokerWarning(const BrokerEntry& broker, const std::string& text) {
  logBrokerWarning(broker.name, text);
}
