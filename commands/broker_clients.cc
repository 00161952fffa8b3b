#include "commands/broker_clients.h"

#include "base/log.h"

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
