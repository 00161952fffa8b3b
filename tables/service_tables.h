// The service-wide tables and client map, and broker removal.
//
// Static objects, constructed in this order (service_globals.h explains the
// order across layers) and destroyed in reverse:
//   brokerTable         priority 1004, handler 2
//   subscriptionTables  priority 1005, handlers 3 and 4
//   clientMap           priority 1006
// so at exit every broker client goes first, then the received-message and
// subscription tables, then the broker table. Every table is an AMap on its
// store path with (path, 1, -2): a change is stored before it is answered
// (docs/store.md). The received-message table keeps its rows in memory only
// (received_table.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "tables/broker_table.h"
#include "tables/received_table.h"
#include "tables/subscription_table.h"

class BrokerClient;

// Broker row id -> its client. A client lives as long as a handle to it;
// erasing an entry releases the map's handle (which needs only the
// forward declaration above).
using ClientMap = std::map<uint32_t, std::shared_ptr<BrokerClient>>;

constexpr const char* BROKER_STORE_PATH = "/korv/store/iot/mqtt/brokers";
constexpr const char* SUBSCRIPTION_STORE_PATH = "/korv/store/iot/mqtt/subscriptions";
constexpr const char* RECEIVED_STORE_PATH = "/korv/store/iot/mqtt/subscriptions/recv";

// The subscription and received-message tables travel together: a broker
// client reaches both through one reference. Members are destroyed in
// reverse order, the received-message table first.
struct SubscriptionTables {
  SubscriptionTables();
  SubscriptionTable subscriptions;
  ReceivedTable received;
};

extern BrokerTable brokerTable;
extern SubscriptionTables subscriptionTables;
extern ClientMap clientMap;

// The broker table's removal hook (BrokerTable::onRemove): logs "removing
// broker <name>", removes every subscription row of the broker in
// object-id order (logging "removing subscription: <topic>" for each), and
// erases the broker's clientMap entry, which destroys its client unless a
// command still holds it. Sends nothing to the broker; the broker's
// received-message rows stay.
void brokerRemoved(BrokerEntry& row);
