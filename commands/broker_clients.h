// BrokerClients: the service's broker clients, at most one per broker row.
//
// A client is created at start-up for every stored row (createAll) and
// later for a row a command names (forCommand); it lives as long as a
// handle to it, and the registry keeps one until the row is removed
// (brokerRemoved) or the registry goes. A command holds a second handle
// while it runs, so a client is never destroyed inside one of its own
// callbacks. The loop, the tables and the handler of arriving messages
// outlive the registry.
//
// Seeing every client, it also warns of rows that would take turns on one
// broker: when a broker accepts a connection, a row whose address, port
// and effective client identifier are those of another row is logged once,
// with both rows and the identifier (the broker closes one connection
// whenever the other connects, and each side sees only "peer
// disconnected").
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "client/broker_client.h"
#include "tables/service_tables.h"

class BrokerClients {
 public:
  BrokerClients(kv::Looper& loop, SubscriptionTables& tables, PublishHandler& arrivals);

  // The client serving `broker`, or an empty handle.
  std::shared_ptr<BrokerClient> find(const BrokerEntry& broker) const;
  // A new client for `broker`, replacing (and so releasing) any client
  // stored under the row's id. It reports its accepted connections here.
  std::shared_ptr<BrokerClient> create(BrokerEntry& broker);
  // The client of `broker`; one is created, with the log line "Creating
  // target broker client", when there is none.
  std::shared_ptr<BrokerClient> forCommand(BrokerEntry& broker);
  // A client for every row of `brokers` (start-up).
  void createAll(BrokerTable& brokers);

  // The broker table's removal hooks. brokerRemoving, when a removal is
  // asked: the tables' part (removeBrokerSubscriptions), which a failed
  // store write undoes with the row. brokerRemoved, once the removal is
  // stored: the row's client goes, unless a command still holds it, and
  // any subscription row its client added meanwhile. Until then the client
  // stays whole, so a removal that is undone leaves the row as it was.
  // Nothing is sent to the broker but the DISCONNECT of a connected
  // client's destruction.
  void brokerRemoving(BrokerEntry& row);
  void brokerRemoved(BrokerEntry& row);

  // The client of broker row `brokerId`, or null (tests and diagnostics).
  BrokerClient* client(uint32_t brokerId) const;
  bool empty() const { return clients_.empty(); }
  // Destroys every client.
  void clear() { clients_.clear(); }

 private:
  // `row`'s broker accepted a connection: the warning above, if it applies.
  void warnSharedIdentifier(const BrokerEntry& row) const;

  kv::Looper& loop_;
  SubscriptionTables& tables_;
  PublishHandler& arrivals_;
  std::map<uint32_t, std::shared_ptr<BrokerClient>> clients_;  // by broker row id
};
