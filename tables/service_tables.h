// The service-wide tables, and what removing a broker does to them.
//
// Static objects, constructed in this order (service_globals.h explains the
// order across layers) and destroyed in reverse:
//   brokerTable         priority 1004, handler 2
//   subscriptionTables  priority 1005, handlers 3 and 4
// so at exit the received-message and subscription tables go first, then
// the broker table. Every table is an AMap on its
// store path with (path, 1, -2): a change is stored before it is answered
// (docs/store.md). The received-message table keeps its rows in memory only
// (received_table.h).
#pragma once

#include "tables/broker_table.h"
#include "tables/received_table.h"
#include "tables/subscription_table.h"

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

// Only start-up, and tests, name these: every other part is handed the
// tables it works on.
extern BrokerTable brokerTable;
extern SubscriptionTables subscriptionTables;

// The tables' part of removing broker `row` (the rest is its client's,
// commands/broker_clients.h): logs "removing broker <name>" and removes
// every subscription row of the broker in object-id order, logging
// "removing subscription: <topic>" for each. The broker's received-message
// rows stay.
void removeBrokerSubscriptions(SubscriptionTables& tables, const BrokerEntry& row);
// The same without the broker's line: every subscription row of `brokerId`.
void removeSubscriptionsOf(SubscriptionTables& tables, uint32_t brokerId);
