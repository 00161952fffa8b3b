#include "commands/broker_clients.h"

#include <strings.h>

#include "base/log.h"

namespace {

// Whether two rows reach the same broker as far as their settings tell: the
// same port and the same address, a host name in any case.
bool sameEndpoint(const BrokerEntry& a, const BrokerEntry& b) {
  return a.port == b.port && strcasecmp(a.address.c_str(), b.address.c_str()) == 0;
}

}  // namespace

BrokerClients::BrokerClients(kv::Looper& loop, SubscriptionTables& tables,
                             PublishHandler& arrivals)
    : loop_(loop), tables_(tables), arrivals_(arrivals) {}

std::shared_ptr<BrokerClient> BrokerClients::find(const BrokerEntry& broker) const {
  auto it = clients_.find(broker.id);
  if (it == clients_.end() || !it->second || &it->second->broker() != &broker) return nullptr;
  return it->second;
}

std::shared_ptr<BrokerClient> BrokerClients::create(BrokerEntry& broker) {
  auto client = std::make_shared<BrokerClient>(loop_, broker, tables_, arrivals_);
  client->setOnAccepted([this, &broker] { warnSharedIdentifier(broker); });
  clients_[broker.id] = client;
  return client;
}

std::shared_ptr<BrokerClient> BrokerClients::forCommand(BrokerEntry& broker) {
  if (std::shared_ptr<BrokerClient> client = find(broker)) return client;
  logInfo("Creating target broker client");
  return create(broker);
}

void BrokerClients::createAll(BrokerTable& brokers) {
  for (BrokerEntry& broker : brokers) create(broker);
}

void BrokerClients::brokerRemoving(BrokerEntry& row) { removeBrokerSubscriptions(tables_, row); }

void BrokerClients::brokerRemoved(BrokerEntry& row) {
  // The id may serve a new row already: only this row's client goes.
  if (find(row)) clients_.erase(row.id);
  removeSubscriptionsOf(tables_, row.id);
}

BrokerClient* BrokerClients::client(uint32_t brokerId) const {
  auto it = clients_.find(brokerId);
  return it == clients_.end() ? nullptr : it->second.get();
}

void BrokerClients::warnSharedIdentifier(const BrokerEntry& row) const {
  const std::string& identifier = effectiveClientId(row);
  std::string twins;
  size_t count = 0;
  for (const auto& entry : clients_) {
    if (!entry.second) continue;
    const BrokerEntry& other = entry.second->broker();
    if (&other == &row || !sameEndpoint(other, row) || effectiveClientId(other) != identifier) {
      continue;
    }
    twins += (twins.empty() ? "" : ", ") + other.name;
    ++count;
  }
  if (twins.empty()) return;
  logBrokerWarning(row, strprintf("shares the client identifier \"%s\" for %s:%u with %s %s; "
                                  "the broker closes one connection whenever the other connects",
                                  identifier.c_str(), row.address.c_str(), unsigned{row.port},
                                  count == 1 ? "row" : "rows", twins.c_str()));
}
